// The fleet's operations on a card of a few models and on an unusually large
// roster, to show what the linear scans and recomputed figures cost.

#include <benchmark/benchmark.h>

#include <string>

#include "fleet.h"

namespace garnel {
namespace {

constexpr uint64_t GiB = uint64_t{1} << 30;

// A card with `models` slots that all fit. Every slot but the last is
// resident with an endpoint, so lookups of the last name and next_to_load
// walk the whole roster, and the report writes every kind of line but one.
Fleet busy_fleet(size_t models) {
  Roster roster;
  for (size_t i = 0; i < models; ++i)
    roster.push_back({"model-" + std::to_string(i), GiB, 0});
  Fleet fleet = declare(Budget{(models + 2) * GiB, GiB}, std::move(roster));
  for (size_t i = 0; i + 1 < models; ++i) {
    const std::string& name = fleet.slots[i].declared.model;
    fleet.observe(name, LoadStarted{}, 1000);
    fleet.observe(name, ProbeOk{GiB}, 2000);
    fleet.set_endpoint(name, "http://127.0.0.1:" + std::to_string(8000 + i));
  }
  return fleet;
}

std::string last_name(const Fleet& fleet) {
  return fleet.slots.back().declared.model;
}

void BM_Route(benchmark::State& state) {
  const Fleet fleet = busy_fleet(static_cast<size_t>(state.range(0)));
  const std::string first = fleet.slots.front().declared.model;
  for (auto _ : state)
    benchmark::DoNotOptimize(fleet.route(first, 5000));
}

void BM_RouteLast(benchmark::State& state) {
  const Fleet fleet = busy_fleet(static_cast<size_t>(state.range(0)));
  const std::string last = last_name(fleet);
  for (auto _ : state)
    benchmark::DoNotOptimize(fleet.route(last, 5000));
}

void BM_Observe(benchmark::State& state) {
  Fleet fleet = busy_fleet(static_cast<size_t>(state.range(0)));
  const std::string last = last_name(fleet);
  const Observation probe = ProbeOk{GiB};
  uint64_t now = 3000;
  for (auto _ : state) {
    fleet.observe(last, probe, ++now);
    benchmark::ClobberMemory();
  }
}

void BM_NextToLoad(benchmark::State& state) {
  const Fleet fleet = busy_fleet(static_cast<size_t>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(fleet.next_to_load());
}

void BM_Report(benchmark::State& state) {
  const Fleet fleet = busy_fleet(static_cast<size_t>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(fleet.report(60000));
}

// The module benchmark's 200-model card: every kind of line, a quarter of
// the models not admitted.
Fleet mixed_card() {
  constexpr uint64_t MiB = uint64_t{1} << 20;
  Roster roster;
  for (size_t i = 0; i < 200; ++i)
    roster.push_back({"model-" + std::to_string(1000 + i).substr(1), 128 * MiB, 16 * MiB});
  Fleet fleet = declare(Budget{24 * GiB, 24 * GiB / 10}, std::move(roster));
  for (size_t i = 0; i < 200; ++i) {
    const std::string name = fleet.slots[i].declared.model;
    if (i % 5 == 4) continue;
    fleet.observe(name, LoadStarted{}, 1000 * i);
    if (i % 5 >= 1) fleet.observe(name, ProbeOk{128 * MiB}, 1000 * i + 500);
    if (i % 5 == 2) fleet.observe(name, ProcessExited{-9}, 2000000 + i);
  }
  return fleet;
}

// The report written into a buffer the caller has, as the module writes it.
void BM_WriteMixedReport(benchmark::State& state) {
  const Fleet fleet = mixed_card();
  std::string buffer(fleet.report_bound(), '\0');
  for (auto _ : state)
    benchmark::DoNotOptimize(fleet.write_report(buffer.data(), buffer.size(), 3600000));
}

// The walk that sizes a buffer exactly, for a card whose names or failure
// texts outgrow the room the module tries first.
void BM_MixedReportBound(benchmark::State& state) {
  const Fleet fleet = mixed_card();
  for (auto _ : state)
    benchmark::DoNotOptimize(fleet.report_bound());
}

void BM_LiveFreeBytes(benchmark::State& state) {
  const Fleet fleet = busy_fleet(static_cast<size_t>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(fleet.live_free_bytes());
}

// declare() of a roster where one model fits and every other is rejected,
// each under its own name: the slots find their shortfalls by name.
void BM_DeclareRejected(benchmark::State& state) {
  Roster roster;
  for (int64_t i = 0; i < state.range(0); ++i)
    roster.push_back({"model-" + std::to_string(i), 20 * GiB, 0});
  for (auto _ : state) {
    benchmark::DoNotOptimize(declare(Budget{24 * GiB, GiB}, roster));
  }
  state.SetComplexityN(state.range(0));
}

BENCHMARK(BM_Route)->Arg(4)->Arg(200);
BENCHMARK(BM_RouteLast)->Arg(4)->Arg(200);
BENCHMARK(BM_Observe)->Arg(4)->Arg(200);
BENCHMARK(BM_NextToLoad)->Arg(4)->Arg(200);
BENCHMARK(BM_Report)->Arg(4)->Arg(200);
BENCHMARK(BM_WriteMixedReport);
BENCHMARK(BM_MixedReportBound);
BENCHMARK(BM_LiveFreeBytes)->Arg(4)->Arg(200);
BENCHMARK(BM_DeclareRejected)->Arg(4000)->Arg(40000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace garnel
