// Fuzzes an observation's way in: a kind name and a detail text through
// parse_json and observation_from_json (the tree-based oracle, to which
// fuzz_detail_vs_tree holds the module's event reader), then the observation
// applied to a Residency in each of its six states, and the states explained.
//
// The input's first line is the kind name, the rest the detail text, so seeds
// read as they would be passed to observe(). Checked:
//   - the fuzzed kind decodes exactly when it is an accepted name, and every
//     accepted name decodes the detail as the detail table says (a text that
//     does not parse is read as null, which gives every field its default);
//   - every transition lands in the state the transition table names, with
//     the right since_ms and data, and leaves its input as it was;
//   - explain says exactly what the state holds, in valid UTF-8.

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "fuzz_checks.h"
#include "json_text.h"
#include "json_tree.h"
#include "residency.h"

namespace garnel {
namespace fuzz {
namespace {

// Observation's alternatives, in declaration order.
enum Kind { kLoadStarted, kProbeOk, kProbeFailed, kProcessExited, kLoadFailed, kStop };

// Residency's alternatives, in declaration order.
enum State { kNeverProbed, kLoading, kResident, kLost, kFailed, kStopped };

struct Name {
  std::string_view name;
  Kind kind;
};

constexpr Name kNames[] = {
    {"load_started", kLoadStarted},
    {"loadStarted", kLoadStarted},
    {"probe_ok", kProbeOk},
    {"probeOk", kProbeOk},
    {"probe_failed", kProbeFailed},
    {"probeFailed", kProbeFailed},
    {"process_exited", kProcessExited},
    {"processExited", kProcessExited},
    {"load_failed", kLoadFailed},
    {"loadFailed", kLoadFailed},
    {"stop", kStop},
    {"stop_requested", kStop},
    {"stopRequested", kStop},
};

std::optional<Kind> kind_named(std::string_view name) {
  for (const Name& n : kNames)
    if (n.name == name) return n.kind;
  return std::nullopt;
}

// The member under the first spelling present, whatever its type.
const JsonValue* member(const JsonValue& detail, const char* first, const char* second = nullptr) {
  if (!detail.is_object()) return nullptr;
  if (detail.contains(first)) return &detail.at(first);
  if (second != nullptr && detail.contains(second)) return &detail.at(second);
  return nullptr;
}

uint64_t vram_bytes(const JsonValue* v) {
  if (v == nullptr) return 0;
  if (v->is_number_unsigned()) return v->get<uint64_t>();
  if (!v->is_number_float()) return 0;  // negative integers and non-numbers
  const double x = v->get<double>();
  if (!(x > 0) || !std::isfinite(x) || std::floor(x) != x) return 0;
  return x >= 0x1p64 ? UINT64_MAX : static_cast<uint64_t>(x);
}

std::optional<int32_t> exit_code(const JsonValue* v) {
  if (v == nullptr) return std::nullopt;
  uint64_t bits = 0;
  if (v->is_number_unsigned()) {
    if (v->get<uint64_t>() > uint64_t{INT64_MAX}) return std::nullopt;
    bits = v->get<uint64_t>();
  } else if (v->is_number_integer()) {
    bits = static_cast<uint64_t>(v->get<int64_t>());
  } else {
    return std::nullopt;
  }
  return static_cast<int32_t>(static_cast<uint32_t>(bits & 0xFFFFFFFFu));
}

// The observation the detail table gives for `kind`.
Observation expected_observation(Kind kind, const JsonValue& detail) {
  const JsonValue* text = member(detail, "detail");
  const bool has_text = text != nullptr && text->is_string();
  switch (kind) {
    case kLoadStarted:
      return LoadStarted{};
    case kProbeOk:
      return ProbeOk{vram_bytes(member(detail, "vramBytes", "vram_bytes"))};
    case kProbeFailed: {
      const JsonValue* gpu = member(detail, "gpuPresent", "gpu_present");
      return ProbeFailed{has_text ? text->get<std::string>() : "",
                         gpu != nullptr && gpu->is_boolean() ? gpu->get<bool>() : true};
    }
    case kProcessExited:
      return ProcessExited{exit_code(member(detail, "code"))};
    case kLoadFailed:
      return LoadFailed{has_text ? text->get<std::string>() : "unknown"};
    case kStop:
      return Stop{};
  }
  return Stop{};
}

constexpr uint64_t kSince = 5000;

// A residency in each state, stamped kSince; the failure text comes from the
// input so that whatever it holds passes through explain.
Residency in_state(State state, const std::string& failure) {
  switch (state) {
    case kNeverProbed:
      return Residency{NeverProbed{}};
    case kLoading:
      return Residency{Loading{kSince}};
    case kResident:
      return Residency{Resident{kSince, 123456789}};
    case kLost:
      return Residency{Lost{kSince, LostReason::kProcessExited}};
    case kFailed:
      return Residency{Failed{failure, kSince}};
    case kStopped:
      return Residency{Stopped{kSince}};
  }
  return Residency{};
}

// The state that follows, by the transition table; nullopt means unchanged.
std::optional<Residency> expected_next(const Residency& from, const Observation& observation,
                                       uint64_t now) {
  const auto state = static_cast<State>(from.state.index());
  switch (static_cast<Kind>(observation.index())) {
    case kLoadStarted:
      if (state == kLoading || state == kResident) return std::nullopt;
      return Residency{Loading{now}};
    case kProbeOk: {
      const uint64_t vram = std::get<ProbeOk>(observation).vram_bytes;
      if (state == kResident)
        return Residency{Resident{std::get<Resident>(from.state).since_ms, vram}};
      return Residency{Resident{now, vram}};
    }
    case kProbeFailed:
      if (!std::get<ProbeFailed>(observation).gpu_present) {
        return Residency{Lost{now, LostReason::kGpuDetached}};
      }
      if (state == kLoading) return std::nullopt;
      if (state == kResident) return Residency{Lost{now, LostReason::kEvicted}};
      return Residency{Lost{now, LostReason::kUnhealthy}};
    case kProcessExited:
      if (state == kStopped) return std::nullopt;
      return Residency{Lost{now, LostReason::kProcessExited}};
    case kLoadFailed:
      return Residency{Failed{std::get<LoadFailed>(observation).detail, now}};
    case kStop:
      return Residency{Stopped{now}};
  }
  return std::nullopt;
}

std::string seconds(uint64_t since, uint64_t now) {
  return std::to_string((now > since ? now - since : 0) / 1000);
}

std::string expected_explain(const Residency& r, uint64_t now) {
  switch (static_cast<State>(r.state.index())) {
    case kNeverProbed:
      return "never probed";
    case kLoading:
      return "loading for " + seconds(std::get<Loading>(r.state).since_ms, now) + "s";
    case kResident:
      return "resident for " + seconds(std::get<Resident>(r.state).since_ms, now) + "s";
    case kLost:
      switch (std::get<Lost>(r.state).reason) {
        case LostReason::kEvicted:
          return "evicted by the runtime to free VRAM";
        case LostReason::kGpuDetached:
          return "the GPU was detached by the host";
        case LostReason::kProcessExited:
          return "the serving process exited";
        case LostReason::kUnhealthy:
          return "loaded but not answering";
      }
      break;
    case kFailed:
      return "failed to load: " + std::get<Failed>(r.state).detail;
    case kStopped:
      return "stopped on request";
  }
  return "";
}

void check_explain(const Residency& r, uint64_t now) {
  const std::string text = r.explain(now);
  GARNEL_FUZZ_CHECK_TEXT(text == expected_explain(r, now), text);
  GARNEL_FUZZ_CHECK_TEXT(is_valid_utf8(text), text);
}

// Clock readings: one that went back, one within the second second since
// kSince, and the end of the clock.
constexpr uint64_t kNows[] = {kSince - 1, kSince + 1999, UINT64_MAX};

void check_transitions(const Observation& observation, const std::string& failure) {
  for (int s = kNeverProbed; s <= kStopped; ++s) {
    const Residency from = in_state(static_cast<State>(s), failure);
    for (const uint64_t now : kNows) {
      const Residency copy = from;
      const Residency next = from.observe(observation, now);
      GARNEL_FUZZ_CHECK(from == copy);
      const std::optional<Residency> expected = expected_next(from, observation, now);
      GARNEL_FUZZ_CHECK(next == (expected ? *expected : from));
      check_explain(from, now);
      check_explain(next, now);
    }
  }
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

  auto parsed = parse_json(text);
  JsonValue detail;  // null, when the text is at fault
  if (auto* message = std::get_if<std::string>(&parsed)) {
    check_fault_message(*message, text);
  } else {
    detail = std::move(std::get<JsonValue>(parsed));
  }

  const std::optional<Observation> fuzzed = observation_from_json(kind, detail);
  const std::optional<Kind> fuzzed_kind = kind_named(kind);
  GARNEL_FUZZ_CHECK(fuzzed.has_value() == fuzzed_kind.has_value());
  if (fuzzed) GARNEL_FUZZ_CHECK(*fuzzed == expected_observation(*fuzzed_kind, detail));

  // The Failed state's text: the detail's own, if it has one, else one with
  // characters that need care.
  const JsonValue* member =
      detail.is_object() && detail.contains("detail") ? &detail.at("detail") : nullptr;
  const std::string failure = member != nullptr && member->is_string()
                                  ? member->get<std::string>()
                                  : "disk \"full\"\n\u00e9\u2014";

  for (const Name& name : kNames) {
    const std::optional<Observation> observation = observation_from_json(name.name, detail);
    GARNEL_FUZZ_CHECK(observation.has_value());
    GARNEL_FUZZ_CHECK(*observation == expected_observation(name.kind, detail));
  }
  if (fuzzed) check_transitions(*fuzzed, failure);
  return 0;
}
