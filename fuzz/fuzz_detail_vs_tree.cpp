// Holds the module's observation reader to the tree-based oracle.
//
// The input's first line is the kind name, the rest the detail text, as in
// fuzz_observation. The detail goes through read_observation (the parser's
// events straight into the core's ObservationReader) and through parse_json
// and observation_from_json (the library's value tree), under the fuzzed
// kind and under every accepted name. Both must give the same fault, message
// for message, or both find the kind unknown, or give the same observation.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "fuzz_checks.h"
#include "json_text.h"
#include "json_tree.h"
#include "residency.h"

namespace garnel {
namespace fuzz {
namespace {

constexpr std::string_view kAcceptedNames[] = {
    "load_started", "loadStarted",    "probe_ok",      "probeOk",     "probe_failed",
    "probeFailed",  "process_exited", "processExited", "load_failed", "loadFailed",
    "stop",         "stop_requested", "stopRequested",
};

void check_kind(std::string_view kind, std::string_view text,
                const std::variant<JsonValue, std::string>& parsed) {
  const auto read = read_observation(kind, text);
  if (const auto* expected = std::get_if<std::string>(&parsed)) {
    const auto* fault = std::get_if<JsonFault>(&read);
    GARNEL_FUZZ_CHECK_TEXT(fault != nullptr, *expected);
    GARNEL_FUZZ_CHECK_TEXT(fault->message == *expected, fault->message);
    return;
  }
  const std::optional<Observation> expected =
      observation_from_json(kind, std::get<JsonValue>(parsed));
  if (!expected) {
    GARNEL_FUZZ_CHECK(std::holds_alternative<UnknownKind>(read));
    return;
  }
  const auto* observation = std::get_if<Observation>(&read);
  GARNEL_FUZZ_CHECK(observation != nullptr);
  GARNEL_FUZZ_CHECK(*observation == *expected);
}

}  // namespace
}  // namespace fuzz
}  // namespace garnel

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace garnel;
  using namespace garnel::fuzz;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t feed = input.find('\n');
  const std::string_view kind = input.substr(0, feed);
  const std::string_view text =
      feed == std::string_view::npos ? std::string_view() : input.substr(feed + 1);

  const auto parsed = parse_json(text);
  if (const auto* message = std::get_if<std::string>(&parsed)) check_fault_message(*message, text);
  check_kind(kind, text, parsed);
  for (const std::string_view name : kAcceptedNames)
    check_kind(name, text, parsed);
  return 0;
}
