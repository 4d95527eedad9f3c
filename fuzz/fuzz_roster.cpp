// Fuzzes a roster's way in: JSON text through parse_json, declared_from_json,
// plan on a few budgets and Plan::explain. parse_json and declared_from_json
// are the tree-based oracle (tests/oracle); fuzz_roster_vs_tree holds the
// module's event reader to them.
//
// Besides the sanitizers, every step is held to its contract:
//   - parse_json agrees with the JSON library's own parser on every text
//     without a NUL byte or a byte-order mark, less its nesting limit, and
//     keeps the library's number kinds; every fault message is whole;
//   - write_json of a parsed value parses back to an equal value;
//   - the roster reader's result (roster or messages) equals what an
//     independent reading of the entries gives;
//   - every plan lists each entry once, commits no more than is usable,
//     rejects only what did not fit, and explains itself exactly.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "budget.h"
#include "fuzz_checks.h"
#include "json_text.h"
#include "json_tree.h"

namespace garnel {
namespace fuzz {
namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;

// Levels of arrays and objects around the deepest value; a scalar has 0.
size_t depth(const JsonValue& value) {
  size_t deepest = 0;
  if (value.is_structured()) {
    for (const JsonValue& child : value)
      deepest = std::max(deepest, depth(child));
    return deepest + 1;
  }
  return 0;
}

// Equal values of equal kinds all the way down: the readers decide by a
// number's kind, so 1, -1 and 1.0 must not turn into one another.
bool same_tree(const JsonValue& a, const JsonValue& b) {
  if (a.type() != b.type()) return false;
  if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (!same_tree(a[i], b[i])) return false;
    return true;
  }
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib)
      if (ia.key() != ib.key() || !same_tree(ia.value(), ib.value())) return false;
    return true;
  }
  if (a.is_number_float()) {
    return a.get<double>() == b.get<double>() &&
           std::signbit(a.get<double>()) == std::signbit(b.get<double>());
  }
  return a == b;
}

// parse_json is the library's parser with three more refusals: a NUL byte, a
// leading byte-order mark and nesting of kMaxJsonDepth levels.
void check_against_library(std::string_view text,
                           const std::variant<JsonValue, std::string>& parsed) {
  const auto* value = std::get_if<JsonValue>(&parsed);
  if (text.find('\0') != std::string_view::npos || starts_with(text, "\xEF\xBB\xBF")) {
    GARNEL_FUZZ_CHECK(value == nullptr);
    return;
  }
  const JsonValue reference = JsonValue::parse(text.begin(), text.end(), nullptr, false);
  if (reference.is_discarded()) {
    GARNEL_FUZZ_CHECK(value == nullptr);
    return;
  }
  const bool too_deep = depth(reference) >= static_cast<size_t>(kMaxJsonDepth);
  GARNEL_FUZZ_CHECK((value == nullptr) == too_deep);
  if (too_deep) {
    GARNEL_FUZZ_CHECK(std::get<std::string>(parsed).find("nesting") != std::string::npos);
  } else {
    GARNEL_FUZZ_CHECK(same_tree(*value, reference));
  }
}

void check_round_trip(const JsonValue& value) {
  const std::string written = write_json(value);
  GARNEL_FUZZ_CHECK_TEXT(is_valid_utf8(written), written);
  auto again = parse_json(written);
  const auto* reparsed = std::get_if<JsonValue>(&again);
  GARNEL_FUZZ_CHECK_TEXT(reparsed != nullptr, written);
  GARNEL_FUZZ_CHECK_TEXT(*reparsed == value, written);
  GARNEL_FUZZ_CHECK_TEXT(write_json(*reparsed) == written, written);
}

// The reading of one byte count, straight from its rules: any non-negative
// integer; a finite, non-negative double without a fraction, saturating.
std::optional<uint64_t> byte_count(const JsonValue& v) {
  if (v.is_number_unsigned()) return v.get<uint64_t>();
  if (v.is_number_integer()) {
    if (v.get<int64_t>() < 0) return std::nullopt;
    return static_cast<uint64_t>(v.get<int64_t>());
  }
  if (!v.is_number_float()) return std::nullopt;
  const double x = v.get<double>();
  if (!std::isfinite(x) || x < 0 || std::floor(x) != x) return std::nullopt;
  if (x >= 0x1p64) return UINT64_MAX;
  return static_cast<uint64_t>(x);
}

// The first of two spellings that the object has, or nullptr.
const JsonValue* member(const JsonValue& entry, const char* first, const char* second = nullptr) {
  if (!entry.is_object()) return nullptr;
  if (entry.contains(first)) return &entry.at(first);
  if (second != nullptr && entry.contains(second)) return &entry.at(second);
  return nullptr;
}

// One entry read on its own: the Declared, or the message that rejects it.
std::variant<Declared, std::string> read_entry(const JsonValue& entry) {
  const JsonValue* name = member(entry, "model");
  if (name == nullptr || !name->is_string()) return std::string("missing \"model\"");
  const std::string model = name->get<std::string>();
  if (model.empty()) return std::string("\"model\" is empty");
  const JsonValue* weights = member(entry, "weightsBytes", "weights_bytes");
  const std::optional<uint64_t> w = weights != nullptr ? byte_count(*weights) : std::nullopt;
  if (!w) return model + ": \"weightsBytes\" missing or not a whole byte count";
  const JsonValue* kv = member(entry, "kvBytes", "kv_bytes");
  std::optional<uint64_t> k = 0;
  if (kv != nullptr && !kv->is_null()) k = byte_count(*kv);
  if (!k) return model + ": \"kvBytes\" is not a whole byte count";
  return Declared{model, *w, *k};
}

// The roster reader's answer must be exactly the entries' own readings: all
// of them when every entry is good, else the message of each bad one. Gives
// the roster, if there is one.
std::optional<Roster> check_reader(const JsonValue& value) {
  auto read = declared_from_json(value);
  Roster expected_roster;
  std::vector<std::string> expected_messages;
  if (!value.is_array()) {
    expected_messages.push_back("expected an array of declared models");
  } else {
    for (size_t i = 0; i < value.size(); ++i) {
      auto entry = read_entry(value[i]);
      if (auto* message = std::get_if<std::string>(&entry)) {
        expected_messages.push_back("entry " + std::to_string(i) + ": " + *message);
      } else {
        expected_roster.push_back(std::get<Declared>(entry));
      }
    }
  }
  if (!expected_messages.empty()) {
    const auto* messages = std::get_if<std::vector<std::string>>(&read);
    GARNEL_FUZZ_CHECK(messages != nullptr);
    GARNEL_FUZZ_CHECK(*messages == expected_messages);
    for (const std::string& message : *messages)
      GARNEL_FUZZ_CHECK_TEXT(is_valid_utf8(message), message);
    return std::nullopt;
  }
  const auto* roster = std::get_if<Roster>(&read);
  GARNEL_FUZZ_CHECK(roster != nullptr);
  GARNEL_FUZZ_CHECK(*roster == expected_roster);
  return *roster;
}

// A GiB figure by another road: glibc's printf also rounds the exact double,
// ties to even.
std::string gib(uint64_t bytes) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.1f", static_cast<double>(bytes) / 1073741824.0);
  return buffer;
}

uint64_t add(uint64_t a, uint64_t b) {
  return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

void check_plan(const Budget& budget, const Roster& roster) {
  const Plan result = plan(budget, roster);
  const uint64_t usable =
      budget.total_bytes > budget.reserve_bytes ? budget.total_bytes - budget.reserve_bytes : 0;
  GARNEL_FUZZ_CHECK(result.usable_bytes == usable);
  GARNEL_FUZZ_CHECK(result.committed_bytes <= result.usable_bytes);
  GARNEL_FUZZ_CHECK(result.admitted.size() + result.rejected.size() == roster.size());
  for (const Rejection& rejection : result.rejected)
    GARNEL_FUZZ_CHECK(rejection.needed_bytes > rejection.free_bytes);

  // Every entry, in roster order, is the next admitted name or the next
  // rejection, as the greedy walk decides it.
  size_t next_admitted = 0;
  size_t next_rejected = 0;
  uint64_t committed = 0;
  for (const Declared& declared : roster) {
    const uint64_t need = add(declared.weights_bytes, declared.kv_bytes);
    const uint64_t available = usable - committed;
    if (need <= available) {
      GARNEL_FUZZ_CHECK(next_admitted < result.admitted.size());
      GARNEL_FUZZ_CHECK(result.admitted[next_admitted++] == declared.model);
      committed += need;
    } else {
      GARNEL_FUZZ_CHECK(next_rejected < result.rejected.size());
      const Rejection& rejection = result.rejected[next_rejected++];
      GARNEL_FUZZ_CHECK(rejection.model == declared.model);
      GARNEL_FUZZ_CHECK(rejection.needed_bytes == need);
      GARNEL_FUZZ_CHECK(rejection.free_bytes == available);
    }
  }
  GARNEL_FUZZ_CHECK(result.committed_bytes == committed);

  std::string expected = std::to_string(result.admitted.size()) + " of " +
                         std::to_string(roster.size()) + " admitted, " + gib(committed) +
                         " GiB committed of " + gib(usable) + " GiB usable";
  for (const Rejection& r : result.rejected) {
    expected += "\n  REJECTED " + r.model + " \u2014 needs " + gib(r.needed_bytes) + " GiB, " +
                gib(r.free_bytes) + " GiB free, short by " + gib(r.needed_bytes - r.free_bytes) +
                " GiB";
  }
  const std::string explained = result.explain();
  GARNEL_FUZZ_CHECK_TEXT(explained == expected, explained);
  GARNEL_FUZZ_CHECK(is_valid_utf8(explained));
}

// Budgets around the roster: none usable, the usual cards, the most there
// can be, and one that the first half of the roster fills to the byte.
std::vector<Budget> budgets_for(const Roster& roster) {
  std::vector<Budget> budgets = {
      Budget::with_reserve_pct(0, 0),          Budget::with_reserve_pct(kGiB, 50),
      Budget::with_reserve_pct(24 * kGiB, 10), Budget::with_reserve_pct(80 * kGiB, 255),
      Budget::with_reserve_pct(UINT64_MAX, 0),
  };
  uint64_t half = 0;
  for (size_t i = 0; i < roster.size() / 2 + 1 && i < roster.size(); ++i)
    half = add(half, add(roster[i].weights_bytes, roster[i].kv_bytes));
  budgets.push_back(Budget{add(half, kGiB), kGiB});
  return budgets;
}

}  // namespace
}  // namespace fuzz
}  // namespace garnel

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace garnel;
  using namespace garnel::fuzz;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = parse_json(text);
  check_against_library(text, parsed);
  if (const auto* message = std::get_if<std::string>(&parsed)) {
    check_fault_message(*message, text);
    return 0;
  }
  const JsonValue& value = std::get<JsonValue>(parsed);
  check_round_trip(value);
  const std::optional<Roster> roster = check_reader(value);
  if (!roster) return 0;
  for (const Budget& budget : budgets_for(*roster))
    check_plan(budget, *roster);
  return 0;
}
