#include "residency.h"

#include <nlohmann/json.hpp>

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

// The string member `key`, or nullptr when it is absent or not a string.
const std::string* string_member(const JsonValue& detail, std::string_view key) {
  const JsonValue* value = json_member(detail, key);
  if (value == nullptr || !value->is_string()) return nullptr;
  return &value->get_ref<const std::string&>();
}

// The low 32 bits of an integer in the signed 64-bit range, read as signed.
// Unsigned integers above that range and doubles carry no code.
std::optional<int32_t> exit_code(const JsonValue* value) {
  if (value == nullptr) return std::nullopt;
  uint64_t bits = 0;
  if (value->is_number_unsigned()) {
    bits = value->get<uint64_t>();
    if (bits > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
  } else if (value->is_number_integer()) {
    bits = static_cast<uint64_t>(value->get<int64_t>());
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

std::optional<Observation> observation_from_json(std::string_view kind, const JsonValue& detail) {
  if (kind == "load_started" || kind == "loadStarted") return LoadStarted{};
  if (kind == "probe_ok" || kind == "probeOk") {
    const JsonValue* vram = json_member(detail, "vramBytes", "vram_bytes");
    return ProbeOk{vram != nullptr ? whole_byte_count(*vram).value_or(0) : 0};
  }
  if (kind == "probe_failed" || kind == "probeFailed") {
    ProbeFailed probe;
    const JsonValue* gpu = json_member(detail, "gpuPresent", "gpu_present");
    if (gpu != nullptr && gpu->is_boolean()) probe.gpu_present = gpu->get<bool>();
    if (const std::string* text = string_member(detail, "detail")) probe.detail = *text;
    return probe;
  }
  if (kind == "process_exited" || kind == "processExited") {
    return ProcessExited{exit_code(json_member(detail, "code"))};
  }
  if (kind == "load_failed" || kind == "loadFailed") {
    LoadFailed failure;
    if (const std::string* text = string_member(detail, "detail")) failure.detail = *text;
    return failure;
  }
  if (kind == "stop" || kind == "stop_requested" || kind == "stopRequested") return Stop{};
  return std::nullopt;
}

}  // namespace garnel
