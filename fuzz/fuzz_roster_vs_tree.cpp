// Holds the module's roster reader and plan writer to the tree-based oracle.
//
// The same bytes go through read_roster (the parser's events straight into
// the core's DeclaredReader) and through parse_json and declared_from_json
// (the library's value tree). Both must give the same fault, message for
// message, or the same complaints in the same order, or the same roster.
// A roster that reads is then planned on a few budgets, and each plan is
// written both ways: by write_plan, directly into one buffer, and by the
// library from plan_json's tree. The texts must be equal byte for byte, and
// the buffer's bound must hold the text.

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "budget.h"
#include "fuzz_checks.h"
#include "json_text.h"
#include "json_tree.h"

namespace garnel {
namespace fuzz {
namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;

uint64_t add(uint64_t a, uint64_t b) {
  return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

// Budgets around the roster: none usable, a usual card, the most there can
// be, and one that the first half of the roster fills to the byte, so that
// plans admit all, none, and some of it.
std::vector<Budget> budgets_for(const Roster& roster) {
  std::vector<Budget> budgets = {
      Budget::with_reserve_pct(0, 0),
      Budget::with_reserve_pct(24 * kGiB, 10),
      Budget::with_reserve_pct(UINT64_MAX, 0),
  };
  uint64_t half = 0;
  for (size_t i = 0; i < roster.size() / 2 + 1 && i < roster.size(); ++i)
    half = add(half, roster[i].needed_bytes());
  budgets.push_back(Budget{add(half, kGiB), kGiB});
  return budgets;
}

void check_plan_text(const Plan& result, size_t declared) {
  const std::string expected = write_json(plan_json(result, declared));
  const std::string written = write_plan(result, declared);
  GARNEL_FUZZ_CHECK_TEXT(written == expected, written);

  const std::string explain = result.explain();
  char small[16];
  const size_t bound = write_plan(result, explain, declared, small, sizeof small);
  GARNEL_FUZZ_CHECK(bound > sizeof small);
  GARNEL_FUZZ_CHECK(bound >= expected.size());
  std::string room(bound, '\0');
  const size_t length = write_plan(result, explain, declared, room.data(), room.size());
  GARNEL_FUZZ_CHECK(length == expected.size());
  GARNEL_FUZZ_CHECK_TEXT(room.compare(0, length, expected) == 0, room);
}

}  // namespace
}  // namespace fuzz
}  // namespace garnel

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace garnel;
  using namespace garnel::fuzz;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto read = read_roster(text);
  const auto parsed = parse_json(text);

  if (const auto* expected = std::get_if<std::string>(&parsed)) {
    const auto* fault = std::get_if<JsonFault>(&read);
    GARNEL_FUZZ_CHECK_TEXT(fault != nullptr, *expected);
    GARNEL_FUZZ_CHECK_TEXT(fault->message == *expected, fault->message);
    check_fault_message(fault->message, text);
    return 0;
  }
  GARNEL_FUZZ_CHECK(!std::holds_alternative<JsonFault>(read));

  const auto expected = declared_from_json(std::get<JsonValue>(parsed));
  if (const auto* messages = std::get_if<std::vector<std::string>>(&expected)) {
    const auto* complaints = std::get_if<std::vector<std::string>>(&read);
    GARNEL_FUZZ_CHECK(complaints != nullptr);
    GARNEL_FUZZ_CHECK(*complaints == *messages);
    return 0;
  }
  const auto* roster = std::get_if<Roster>(&read);
  GARNEL_FUZZ_CHECK(roster != nullptr);
  GARNEL_FUZZ_CHECK(*roster == std::get<Roster>(expected));

  for (const Budget& budget : budgets_for(*roster))
    check_plan_text(plan(budget, *roster), roster->size());
  return 0;
}
