#include "residency.h"

#include <utility>

namespace garnel {

std::string_view lost_reason_json_name(LostReason reason) {
  switch (reason) {
    case LostReason::kEvicted:
      return "evicted";
    case LostReason::kGpuDetached:
      return "gpu_detached";
    case LostReason::kProcessExited:
      return "process_exited";
    case LostReason::kUnhealthy:
      return "unhealthy";
  }
  return "unhealthy";
}

bool lost_reason_is_operator_fault(LostReason reason) {
  return reason != LostReason::kGpuDetached;
}

namespace {

// The low 32 bits of an integer in the signed 64-bit range, read as signed.
// Unsigned integers above that range, doubles and the rest carry no code.
std::optional<int32_t> exit_code(const MemberValue& value) {
  uint64_t bits = 0;
  if (value.kind == MemberValue::Kind::kUnsigned) {
    bits = value.unsigned_value;
    if (bits > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
  } else if (value.kind == MemberValue::Kind::kSigned) {
    bits = static_cast<uint64_t>(value.signed_value);
  } else {
    return std::nullopt;
  }
  return static_cast<int32_t>(static_cast<uint32_t>(bits));
}

}  // namespace

Residency Residency::observe(const Observation& observation, uint64_t now) const {
  const auto lost = [now](LostReason reason) { return Residency{Lost{now, reason}}; };
  return std::visit(
      Overloaded{
          [&](const LoadStarted&) {
            // A repeated start must not move since_ms, and a start reported
            // late must not demote a model that already answers.
            if (std::holds_alternative<Loading>(state) || std::holds_alternative<Resident>(state)) {
              return *this;
            }
            return Residency{Loading{now}};
          },
          [&](const ProbeOk& probe) {
            const auto* resident = std::get_if<Resident>(&state);
            const uint64_t since = resident != nullptr ? resident->since_ms : now;
            return Residency{Resident{since, probe.vram_bytes}};
          },
          [&](const ProbeFailed& probe) {
            if (!probe.gpu_present) return lost(LostReason::kGpuDetached);
            // A model still loading is expected not to answer yet.
            if (std::holds_alternative<Loading>(state)) return *this;
            if (std::holds_alternative<Resident>(state)) return lost(LostReason::kEvicted);
            return lost(LostReason::kUnhealthy);
          },
          [&](const ProcessExited&) {
            // Stopping a model ends its process; that exit is no loss.
            if (std::holds_alternative<Stopped>(state)) return *this;
            return lost(LostReason::kProcessExited);
          },
          [&](const LoadFailed& failure) {
            return Residency{Failed{failure.detail, now}};
          },
          [&](const Stop&) { return Residency{Stopped{now}}; },
      },
      observation);
}

std::string Residency::explain(uint64_t now) const {
  std::string text(explain_bound(), '\0');
  text.resize(static_cast<size_t>(write_explain(text.data(), now) - text.data()));
  return text;
}

ObservationReader::ObservationReader(std::string_view kind) {
  if (kind == "load_started" || kind == "loadStarted") {
    kind_ = Kind::kLoadStarted;
  } else if (kind == "probe_ok" || kind == "probeOk") {
    kind_ = Kind::kProbeOk;
  } else if (kind == "probe_failed" || kind == "probeFailed") {
    kind_ = Kind::kProbeFailed;
  } else if (kind == "process_exited" || kind == "processExited") {
    kind_ = Kind::kProcessExited;
  } else if (kind == "load_failed" || kind == "loadFailed") {
    kind_ = Kind::kLoadFailed;
  } else if (kind == "stop" || kind == "stop_requested" || kind == "stopRequested") {
    kind_ = Kind::kStop;
  } else {
    kind_ = Kind::kUnknown;
  }
}

void ObservationReader::string(std::string& text) {
  if (depth_ == 1 && pending_ == Field::kDetail) detail_text_.swap(text);
  scalar(MemberValue::of(MemberValue::Kind::kString));
}

void ObservationReader::key(std::string_view key) {
  // Keys at depth 1 are the top-level object's; deeper ones are ignored.
  if (depth_ != 1) return;
  pending_ = Field::kOther;
  switch (kind_) {
    case Kind::kProbeOk:
      if (key == "vramBytes") pending_ = Field::kFirst;
      if (key == "vram_bytes") pending_ = Field::kSnake;
      break;
    case Kind::kProbeFailed:
      if (key == "gpuPresent") pending_ = Field::kFirst;
      if (key == "gpu_present") pending_ = Field::kSnake;
      if (key == "detail") pending_ = Field::kDetail;
      break;
    case Kind::kProcessExited:
      if (key == "code") pending_ = Field::kFirst;
      break;
    case Kind::kLoadFailed:
      if (key == "detail") pending_ = Field::kDetail;
      break;
    default:
      break;
  }
}

void ObservationReader::scalar(const MemberValue& value) {
  if (depth_ != 1) return;
  // Assigning over an earlier value of the same key: the last one counts.
  switch (pending_) {
    case Field::kFirst:
      first_ = value;
      break;
    case Field::kSnake:
      snake_ = value;
      break;
    case Field::kDetail:
      detail_ = value;
      break;
    case Field::kOther:
      break;
  }
  pending_ = Field::kOther;
}

void ObservationReader::start(MemberValue::Kind kind) {
  scalar(MemberValue::of(kind));
  ++depth_;
}

std::optional<Observation> ObservationReader::finish() && {
  // The camel spelling, when present, whatever its value.
  const MemberValue& field = first_.kind != MemberValue::Kind::kAbsent ? first_ : snake_;
  const bool has_text = detail_.kind == MemberValue::Kind::kString;
  switch (kind_) {
    case Kind::kLoadStarted:
      return LoadStarted{};
    case Kind::kProbeOk:
      return ProbeOk{whole_byte_count(field).value_or(0)};
    case Kind::kProbeFailed: {
      ProbeFailed probe;
      if (field.kind == MemberValue::Kind::kBoolean) probe.gpu_present = field.boolean;
      if (has_text) probe.detail = std::move(detail_text_);
      return probe;
    }
    case Kind::kProcessExited:
      return ProcessExited{exit_code(first_)};
    case Kind::kLoadFailed: {
      LoadFailed failure;
      if (has_text) failure.detail = std::move(detail_text_);
      return failure;
    }
    case Kind::kStop:
      return Stop{};
    case Kind::kUnknown:
      break;
  }
  return std::nullopt;
}

}  // namespace garnel
