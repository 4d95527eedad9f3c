// Where one declared model stands on its card, and how observations move it.
//
// A Residency is one of six plain states. The host reports what it sees of a
// model as an Observation; Residency::observe gives the state that follows,
// and Residency::explain writes the state as one line for people. The host's
// detail JSON becomes an Observation through ObservationReader, the one
// place that knows both key spellings ("vramBytes" and "vram_bytes").
//
// There is no clock here: every operation that needs time takes the caller's
// `now`, in milliseconds. Nothing throws and nothing fails; a detail that is
// malformed in any way falls back to the defaults of its fields.

#ifndef GARNEL_CORE_RESIDENCY_H_
#define GARNEL_CORE_RESIDENCY_H_

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "budget.h"

namespace garnel {

// One overload set from lambdas, for std::visit over the core's unions.
template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

// Why a model that was up is gone.
enum class LostReason {
  kEvicted,        // a probe failed while the model was resident
  kGpuDetached,    // a probe found the card missing
  kProcessExited,  // the serving process ended
  kUnhealthy,      // a probe failed while the model was not resident
};

// The sentence people read for a lost model, e.g. "the serving process exited".
constexpr std::string_view lost_reason_text(LostReason reason) {
  switch (reason) {
    case LostReason::kEvicted:
      return "evicted by the runtime to free VRAM";
    case LostReason::kGpuDetached:
      return "the GPU was detached by the host";
    case LostReason::kProcessExited:
      return "the serving process exited";
    case LostReason::kUnhealthy:
      return "loaded but not answering";
  }
  return "loaded but not answering";
}

// The reason's JSON string: "evicted", "gpu_detached", "process_exited" or
// "unhealthy".
std::string_view lost_reason_json_name(LostReason reason);

// Whether the operator should look at it. A detached card is the host's
// doing; every other loss points at the model or its serving process.
bool lost_reason_is_operator_fault(LostReason reason);

// Nothing has been observed yet; the state of every new slot.
struct NeverProbed {
  bool operator==(const NeverProbed&) const = default;
};

// A load has started and the model has not answered a probe yet.
struct Loading {
  uint64_t since_ms = 0;
  bool operator==(const Loading&) const = default;
};

// The model is loaded and answers probes.
struct Resident {
  uint64_t since_ms = 0;    // when it first became resident; later probes keep it
  uint64_t vram_bytes = 0;  // what the latest successful probe reported
  bool operator==(const Resident&) const = default;
};

// The model is gone or does not answer.
struct Lost {
  uint64_t since_ms = 0;
  LostReason reason = LostReason::kUnhealthy;
  bool operator==(const Lost&) const = default;
};

// The last load failed.
struct Failed {
  std::string detail;  // the failure text as observed; may be empty
  uint64_t since_ms = 0;
  bool operator==(const Failed&) const = default;
};

// The model was stopped on request.
struct Stopped {
  uint64_t since_ms = 0;
  bool operator==(const Stopped&) const = default;
};

// A load of the model started.
struct LoadStarted {
  bool operator==(const LoadStarted&) const = default;
};

// A health probe answered.
struct ProbeOk {
  uint64_t vram_bytes = 0;  // the model's bytes on the card, as the probe saw them
  bool operator==(const ProbeOk&) const = default;
};

// A health probe did not answer.
struct ProbeFailed {
  std::string detail;       // carried along; no transition reads it
  bool gpu_present = true;  // false when the probe found the card missing
  bool operator==(const ProbeFailed&) const = default;
};

// The serving process ended.
struct ProcessExited {
  std::optional<int32_t> code;  // carried along; no transition reads it
  bool operator==(const ProcessExited&) const = default;
};

// A load failed.
struct LoadFailed {
  std::string detail = "unknown";
  bool operator==(const LoadFailed&) const = default;
};

// The model was stopped on request.
struct Stop {
  bool operator==(const Stop&) const = default;
};

// One event the host reports for a model.
using Observation =
    std::variant<LoadStarted, ProbeOk, ProbeFailed, ProcessExited, LoadFailed, Stop>;

// The most bytes any explanation takes besides a failure's detail: the
// longest lost reason is 35, and seconds take at most 20 digits.
inline constexpr size_t kMaxFixedExplainLength = 48;

// Where one model stands, as far as the host has told.
struct Residency {
  std::variant<NeverProbed, Loading, Resident, Lost, Failed, Stopped> state;

  // The state that follows `observation` at `now`. A few observations leave
  // the state as it is, since_ms included (a repeated load start, a probe
  // failure while loading with the card present, an exit after a stop);
  // every other one stamps the new state with `now`.
  Residency observe(const Observation& observation, uint64_t now) const;

  // One line for people: "never probed", "loading for {s}s", "resident for
  // {s}s", the lost reason's text, "failed to load: {detail}" or "stopped on
  // request". Seconds are whole and never negative, even when the clock went
  // back.
  std::string explain(uint64_t now) const;

  // The most bytes explain() can write for this state.
  size_t explain_bound() const;

  // Writes explain(now) at out and returns the end of what it wrote, for
  // texts of many lines that are sized once.
  // REQUIRES: out has room for explain_bound() bytes.
  char* write_explain(char* out, uint64_t now) const;

  bool operator==(const Residency&) const = default;
};

// explain_bound() and write_explain() are defined here, not in the source,
// so that a report of many slots pays no call per line.

inline size_t Residency::explain_bound() const {
  const auto* failed = std::get_if<Failed>(&state);
  return kMaxFixedExplainLength + (failed != nullptr ? failed->detail.size() : 0);
}

inline char* Residency::write_explain(char* out, uint64_t now) const {
  const auto put = [&](std::string_view text) {
    internal::copy_text(out, text);
    out += text.size();
  };
  const auto put_seconds = [&](std::string_view lead, uint64_t since_ms) {
    put(lead);
    // Whole seconds; a clock that went back gives 0.
    out = write_decimal(out, saturating_sub(now, since_ms) / 1000);
    *out++ = 's';
  };
  std::visit(Overloaded{
                 [&](const NeverProbed&) { put("never probed"); },
                 [&](const Loading& s) { put_seconds("loading for ", s.since_ms); },
                 [&](const Resident& s) { put_seconds("resident for ", s.since_ms); },
                 [&](const Lost& s) { put(lost_reason_text(s.reason)); },
                 [&](const Failed& s) {
                   put("failed to load: ");
                   put(s.detail);
                 },
                 [&](const Stopped&) { put("stopped on request"); },
             },
             state);
  return out;
}

// Reads an observation's detail from the JSON parser's events as they come,
// with no value tree: the events of one whole value, in the order of the
// JSON library's SAX interface. The kind is named first, compared byte for
// byte with the accepted names: load_started/loadStarted, probe_ok/probeOk,
// probe_failed/probeFailed, process_exited/processExited,
// load_failed/loadFailed and stop/stop_requested/stopRequested. Only the
// keys that kind reads are kept, from the top level of an object detail; of
// repeated keys the last counts, and a camel key that is present wins over
// its snake spelling even with a value of the wrong type. A field whose key
// is missing or holds the wrong type takes its default; a detail that is not
// an object gives every field its default.
class ObservationReader {
 public:
  explicit ObservationReader(std::string_view kind);

  // A null, a boolean or a number; strings come through string().
  void scalar(const MemberValue& value);
  // May swap the text out: the parser's buffer is only lent for the call.
  void string(std::string& text);
  void key(std::string_view key);
  void start_object() { start(MemberValue::Kind::kObject); }
  void start_array() { start(MemberValue::Kind::kArray); }
  void end_object() { --depth_; }
  void end_array() { --depth_; }

  // The observation, or nothing when the kind is none of the accepted names.
  std::optional<Observation> finish() &&;

 private:
  enum class Kind : uint8_t {
    kUnknown,
    kLoadStarted,
    kProbeOk,
    kProbeFailed,
    kProcessExited,
    kLoadFailed,
    kStop
  };
  // Where a top-level member's value goes: the camel spelling of a field
  // with two ("vramBytes", "gpuPresent") or "code"; the snake spelling; or
  // "detail".
  enum class Field : uint8_t { kOther, kFirst, kSnake, kDetail };

  void start(MemberValue::Kind kind);

  Kind kind_;
  size_t depth_ = 0;  // containers open around the next event
  Field pending_ = Field::kOther;
  MemberValue first_, snake_, detail_;
  std::string detail_text_;  // the text of the last "detail" string
};

}  // namespace garnel

#endif  // GARNEL_CORE_RESIDENCY_H_
