#include "budget.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace garnel {

Budget Budget::with_reserve_pct(uint64_t total_bytes, uint8_t reserve_pct) {
  const uint64_t pct = reserve_pct < 100 ? reserve_pct : 100;
  // Dividing first keeps the product in range for every total.
  uint64_t reserve = total_bytes / 100 * pct;
  if (reserve <= kReserveFloorBytes) reserve = kReserveFloorBytes;
  if (total_bytes < reserve) reserve = total_bytes;
  return Budget{total_bytes, reserve};
}

std::optional<uint64_t> whole_byte_count(const JsonValue& value) {
  if (value.is_number_unsigned()) return value.get<uint64_t>();
  // The parser holds "-0" as a signed zero; by value it is still zero.
  if (value.is_number_integer()) {
    const int64_t n = value.get<int64_t>();
    if (n >= 0) return static_cast<uint64_t>(n);
    return std::nullopt;
  }
  if (value.is_number_float()) {
    const double x = value.get<double>();
    if (!std::isfinite(x) || x < 0 || std::trunc(x) != x) return std::nullopt;
    // 2^64 is exactly representable; anything at or above it saturates.
    if (x >= 18446744073709551616.0) return kMaxBytes;
    return static_cast<uint64_t>(x);
  }
  return std::nullopt;
}

const JsonValue* json_member(const JsonValue& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

const JsonValue* json_member(const JsonValue& object, std::string_view camel,
                             std::string_view snake) {
  const JsonValue* found = json_member(object, camel);
  return found != nullptr ? found : json_member(object, snake);
}

namespace {

// One roster entry, or the message that rejects it.
std::variant<Declared, std::string> declared_entry(const JsonValue& entry) {
  const JsonValue* name = json_member(entry, "model");
  if (name == nullptr || !name->is_string()) return std::string(R"(missing "model")");
  const auto& model = name->get_ref<const std::string&>();
  if (model.empty()) return std::string(R"("model" is empty)");

  const JsonValue* weights = json_member(entry, "weightsBytes", "weights_bytes");
  const std::optional<uint64_t> weights_bytes =
      weights != nullptr ? whole_byte_count(*weights) : std::nullopt;
  if (!weights_bytes) return model + R"(: "weightsBytes" missing or not a whole byte count)";

  uint64_t kv_bytes = 0;
  const JsonValue* kv = json_member(entry, "kvBytes", "kv_bytes");
  if (kv != nullptr && !kv->is_null()) {
    const std::optional<uint64_t> count = whole_byte_count(*kv);
    if (!count) return model + R"(: "kvBytes" is not a whole byte count)";
    kv_bytes = *count;
  }
  return Declared{model, *weights_bytes, kv_bytes};
}

}  // namespace

std::variant<Roster, std::vector<std::string>> declared_from_json(const JsonValue& value) {
  if (!value.is_array()) {
    return std::vector<std::string>{"expected an array of declared models"};
  }
  Roster roster;
  roster.reserve(value.size());
  std::vector<std::string> messages;
  size_t index = 0;
  for (const JsonValue& entry : value) {
    auto read = declared_entry(entry);
    if (auto* message = std::get_if<std::string>(&read)) {
      messages.push_back("entry " + std::to_string(index) + ": " + *message);
    } else if (messages.empty()) {
      // Once an entry has failed the roster is lost anyway; stop copying.
      roster.push_back(std::move(std::get<Declared>(read)));
    }
    ++index;
  }
  if (!messages.empty()) return messages;
  return roster;
}

Plan plan(const Budget& budget, const Roster& roster) {
  Plan result;
  result.usable_bytes = budget.usable_bytes();
  for (const Declared& declared : roster) {
    const uint64_t need = declared.needed_bytes();
    const uint64_t available = saturating_sub(result.usable_bytes, result.committed_bytes);
    if (need <= available) {
      result.admitted.push_back(declared.model);
      result.committed_bytes += need;  // need <= available, so no overflow
    } else {
      result.rejected.push_back(Rejection{declared.model, need, available});
    }
  }
  return result;
}

void append_gib(std::string& out, uint64_t bytes) {
  char buffer[kMaxGibLength];
  out.append(buffer, write_gib(buffer, bytes));
}

std::string format_gib(uint64_t bytes) {
  std::string out;
  append_gib(out, bytes);
  return out;
}

std::string Plan::explain() const {
  std::string text = std::to_string(admitted.size()) + " of " +
                     std::to_string(admitted.size() + rejected.size()) + " admitted, ";
  append_gib(text, committed_bytes);
  text += " GiB committed of ";
  append_gib(text, usable_bytes);
  text += " GiB usable";
  for (const Rejection& rejection : rejected) {
    text += "\n  REJECTED ";
    text += rejection.model;
    text += " \u2014 needs ";
    append_gib(text, rejection.needed_bytes);
    text += " GiB, ";
    append_gib(text, rejection.free_bytes);
    text += " GiB free, short by ";
    append_gib(text, rejection.short_bytes());
    text += " GiB";
  }
  return text;
}

}  // namespace garnel
