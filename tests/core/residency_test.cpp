#include "residency.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "json_text.h"
#include "json_tree.h"

namespace garnel {
namespace {

constexpr uint64_t kNow = 9000;

Residency at(decltype(Residency::state) state) {
  return Residency{std::move(state)};
}

struct TransitionRow {
  const char* observation_name;
  Observation observation;
  // The next state from NeverProbed, Loading, Resident, Lost, Failed, Stopped.
  Residency next[6];
};

TEST(Residency, TransitionTable) {
  // Each starting state carries data and a since_ms of its own, so a row that
  // keeps, drops or restamps them shows it.
  const Residency from[6] = {at(NeverProbed{}),      at(Loading{100}),
                             at(Resident{200, 64}),  at(Lost{300, LostReason::kProcessExited}),
                             at(Failed{"oom", 400}), at(Stopped{500})};
  const auto lost = [](LostReason reason) { return at(Lost{kNow, reason}); };
  const Residency loading = at(Loading{kNow});
  const Residency resident = at(Resident{kNow, 4096});
  const Residency failed = at(Failed{"disk full", kNow});
  const Residency stopped = at(Stopped{kNow});
  const TransitionRow rows[] = {
      {"load_started", LoadStarted{}, {loading, from[1], from[2], loading, loading, loading}},
      {"probe_ok",
       ProbeOk{4096},
       {resident, resident, at(Resident{200, 4096}), resident, resident, resident}},
      {"probe_failed, card present",
       ProbeFailed{"timeout", true},
       {lost(LostReason::kUnhealthy), from[1], lost(LostReason::kEvicted),
        lost(LostReason::kUnhealthy), lost(LostReason::kUnhealthy), lost(LostReason::kUnhealthy)}},
      {"probe_failed, card absent",
       ProbeFailed{"timeout", false},
       {lost(LostReason::kGpuDetached), lost(LostReason::kGpuDetached),
        lost(LostReason::kGpuDetached), lost(LostReason::kGpuDetached),
        lost(LostReason::kGpuDetached), lost(LostReason::kGpuDetached)}},
      {"process_exited",
       ProcessExited{3},
       {lost(LostReason::kProcessExited), lost(LostReason::kProcessExited),
        lost(LostReason::kProcessExited), lost(LostReason::kProcessExited),
        lost(LostReason::kProcessExited), from[5]}},
      {"load_failed", LoadFailed{"disk full"}, {failed, failed, failed, failed, failed, failed}},
      {"stop", Stop{}, {stopped, stopped, stopped, stopped, stopped, stopped}},
  };
  for (const TransitionRow& row : rows) {
    for (size_t i = 0; i < 6; ++i) {
      EXPECT_EQ(from[i].observe(row.observation, kNow), row.next[i])
          << row.observation_name << " from " << from[i].explain(kNow);
    }
  }
}

struct ExplainCase {
  Residency residency;
  uint64_t now;
  const char* text;
};

TEST(Residency, ExplainTexts) {
  const ExplainCase cases[] = {
      {at(NeverProbed{}), 0, "never probed"},
      {at(Loading{1000}), 7500, "loading for 6s"},
      {at(Resident{5000, 1}), 4000, "resident for 0s"},  // the clock went back
      {at(Loading{5000}), 4000, "loading for 0s"},
      {at(Resident{1000, 1}), 1999, "resident for 0s"},
      {at(Resident{1000, 1}), 2000, "resident for 1s"},
      {at(Resident{1000, 1}), 2999, "resident for 1s"},
      {at(Resident{0, 1}), UINT64_MAX, "resident for 18446744073709551s"},
      {at(Lost{1, LostReason::kEvicted}), 90000, "evicted by the runtime to free VRAM"},
      {at(Lost{1, LostReason::kGpuDetached}), 0, "the GPU was detached by the host"},
      {at(Lost{1, LostReason::kProcessExited}), 0, "the serving process exited"},
      {at(Lost{1, LostReason::kUnhealthy}), 0, "loaded but not answering"},
      {at(Failed{"CUDA \"oom\"\n", 1}), 0, "failed to load: CUDA \"oom\"\n"},
      {at(Failed{"", 1}), 0, "failed to load: "},
      {at(Stopped{1}), 60000, "stopped on request"},
  };
  for (const ExplainCase& c : cases)
    EXPECT_EQ(c.residency.explain(c.now), c.text) << c.text;
}

struct DecodeCase {
  std::string kind;
  std::string detail;
  std::optional<Observation> observation;
};

TEST(ObservationFromJson, KindsFieldsAndDefaults) {
  const DecodeCase cases[] = {
      {"load_started", "{}", LoadStarted{}},
      {"loadStarted", R"({"vram_bytes": 5})", LoadStarted{}},
      {"stop", "{}", Stop{}},
      {"stop_requested", "null", Stop{}},
      {"stopRequested", "[]", Stop{}},
      {"Stop", "{}", std::nullopt},
      {"stop ", "{}", std::nullopt},
      {"PROBE_OK", "{}", std::nullopt},
      {"probe-ok", "{}", std::nullopt},
      {"", "{}", std::nullopt},
      // vram_bytes, a whole byte count under either spelling.
      {"probe_ok", R"({"vramBytes": 1.5e9})", ProbeOk{1500000000}},
      {"probeOk", R"({"vram_bytes": 2048.0})", ProbeOk{2048}},
      {"probe_ok", R"({"vram_bytes": 1e20})", ProbeOk{UINT64_MAX}},
      {"probe_ok", R"({"vram_bytes": 18446744073709551615})", ProbeOk{UINT64_MAX}},
      {"probe_ok", R"({"vram_bytes": 1.5})", ProbeOk{0}},
      {"probe_ok", R"({"vram_bytes": -1})", ProbeOk{0}},
      {"probe_ok", R"({"vram_bytes": "1024"})", ProbeOk{0}},
      {"probe_ok", R"({"vram_bytes": 8})", ProbeOk{8}},
      {"probe_ok", R"({"vramBytes": 8, "vram_bytes": 9})", ProbeOk{8}},
      {"probe_ok", R"({"vramBytes": "8", "vram_bytes": 8})", ProbeOk{0}},
      {"probe_ok", R"({"VramBytes": 8, "nested": {"vram_bytes": 8}})", ProbeOk{0}},
      {"probe_ok", R"([{"vram_bytes": 8}])", ProbeOk{0}},
      // gpu_present, a boolean defaulting to true; detail, a string.
      {"probe_failed", "{}", ProbeFailed{"", true}},
      {"probeFailed", R"({"gpuPresent": false, "detail": "nvml"})", ProbeFailed{"nvml", false}},
      {"probe_failed", R"({"gpu_present": false})", ProbeFailed{"", false}},
      {"probe_failed", R"({"gpuPresent": 0, "gpu_present": false})", ProbeFailed{"", true}},
      {"probe_failed", R"({"gpu_present": 0, "detail": null})", ProbeFailed{"", true}},
      {"probe_failed", R"("x")", ProbeFailed{"", true}},
      // code, the low 32 bits of a signed 64-bit integer.
      {"process_exited", "{}", ProcessExited{}},
      {"processExited", R"({"code": 0})", ProcessExited{0}},
      {"process_exited", R"({"code": -1})", ProcessExited{-1}},
      {"process_exited", R"({"code": 4294967297})", ProcessExited{1}},
      {"process_exited", R"({"code": 2147483648})", ProcessExited{INT32_MIN}},
      {"process_exited", R"({"code": 9223372036854775807})", ProcessExited{-1}},
      {"process_exited", R"({"code": -9223372036854775808})", ProcessExited{0}},
      {"process_exited", R"({"code": 9223372036854775808})", ProcessExited{}},
      {"process_exited", R"({"code": 1.0})", ProcessExited{}},
      {"process_exited", R"({"code": "1"})", ProcessExited{}},
      // detail of a failed load: "unknown" unless a string is given.
      {"load_failed", "{}", LoadFailed{"unknown"}},
      {"loadFailed", R"({"detail": 7})", LoadFailed{"unknown"}},
      {"load_failed", R"({"detail": ""})", LoadFailed{""}},
      {"load_failed", R"({"detail": "out of memory"})", LoadFailed{"out of memory"}},
      {"load_failed", "null", LoadFailed{"unknown"}},
      // Of repeated keys the last counts; only the top level is read.
      {"load_failed", R"({"detail": "a", "detail": 5})", LoadFailed{"unknown"}},
      {"load_failed", R"({"detail": 5, "detail": "b"})", LoadFailed{"b"}},
      {"load_failed", R"({"detail": "a", "x": {"detail": "b"}, "y": ["c"]})", LoadFailed{"a"}},
      {"load_failed", R"({"detail": {"detail": "a"}})", LoadFailed{"unknown"}},
      {"probe_ok", R"({"vramBytes": 8, "vramBytes": [1]})", ProbeOk{0}},
      {"probe_ok", R"({"vram_bytes": 8, "vramBytes": {}})", ProbeOk{0}},
      {"probe_failed", R"({"gpuPresent": false, "gpuPresent": null, "gpu_present": false})",
       ProbeFailed{"", true}},
      {"probe_failed", R"({"detail": "d", "gpu_present": true, "gpu_present": false})",
       ProbeFailed{"d", false}},
      {"process_exited", R"({"code": 3, "code": -4})", ProcessExited{-4}},
      {"process_exited", R"({"code": 3, "code": null})", ProcessExited{}},
      {"load_failed", "{\"detail\": \"" + std::string(300, 'x') + "\"}",
       LoadFailed{std::string(300, 'x')}},
  };
  for (const DecodeCase& c : cases) {
    EXPECT_EQ(observation_from_json(c.kind, JsonValue::parse(c.detail)), c.observation)
        << c.kind << " " << c.detail;
    // Read from the parser's events, as the module reads it.
    const auto read = read_observation(c.kind, c.detail);
    if (c.observation) {
      ASSERT_TRUE(std::holds_alternative<Observation>(read)) << c.kind << " " << c.detail;
      EXPECT_EQ(std::get<Observation>(read), *c.observation) << c.kind << " " << c.detail;
    } else {
      EXPECT_TRUE(std::holds_alternative<UnknownKind>(read)) << c.kind << " " << c.detail;
    }
  }
}

}  // namespace
}  // namespace garnel
