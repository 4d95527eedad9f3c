// The fleet's operations on a card of a few models and on an unusually large
// roster, to show what the linear scans and recomputed figures cost; and the
// JSON text layer's readers and plan writer, each beside the tree-based way
// it replaced (the tests' oracle) and the library's parser alone.

#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <string>

#include "fleet.h"
#include "json_text.h"
#include "json_tree.h"

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

// The module benchmark's rosters: the shipped example's four models, and 200
// models of which a quarter do not fit, written as a host's json.dumps does.
std::string roster_text(int64_t models) {
  if (models == 4) {
    return R"([{"model": "chat-8b", "weightsBytes": 16106127360, "kvBytes": 2147483648}, )"
           R"({"model": "coder-14b", "weightsBytes": 9663676416, "kvBytes": 1073741824}, )"
           R"({"model": "embed-small", "weightsBytes": 1073741824}, )"
           R"({"model": "rerank-base", "weights_bytes": 805306368, "kv_bytes": 268435456}])";
  }
  std::string text = "[";
  for (int64_t i = 0; i < models; ++i) {
    if (i > 0) text += ", ";
    text += R"({"model": "model-)" + std::to_string(1000 + i).substr(1) +
            R"(", "weightsBytes": 134217728, "kvBytes": 16777216})";
  }
  return text + "]";
}

constexpr const char* kSmallDetail = R"({"vramBytes": 1073741824})";

// The library's parser over the text with nothing built: what any reader of
// its events costs at least.
void BM_LibraryParserAlone(benchmark::State& state) {
  const std::string text = roster_text(state.range(0));
  for (auto _ : state)
    benchmark::DoNotOptimize(nlohmann::json::accept(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// The roster as the module reads it: events straight into DeclaredReader.
void BM_ReadRoster(benchmark::State& state) {
  const std::string text = roster_text(state.range(0));
  for (auto _ : state)
    benchmark::DoNotOptimize(read_roster(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// The same through the value tree, as it was read before.
void BM_ReadRosterByTree(benchmark::State& state) {
  const std::string text = roster_text(state.range(0));
  for (auto _ : state) {
    auto parsed = parse_json(text);
    benchmark::DoNotOptimize(declared_from_json(std::get<JsonValue>(parsed)));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_LibraryParserAloneSmallDetail(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(nlohmann::json::accept(kSmallDetail));
}

void BM_ReadSmallDetail(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(read_observation("probe_ok", kSmallDetail));
}

void BM_ReadSmallDetailByTree(benchmark::State& state) {
  for (auto _ : state) {
    auto parsed = parse_json(kSmallDetail);
    benchmark::DoNotOptimize(observation_from_json("probe_ok", std::get<JsonValue>(parsed)));
  }
}

// The plan of a roster on the module benchmark's 24 GiB card, 10 % held back.
Plan roster_plan(int64_t models, size_t& declared) {
  const Roster roster = std::get<Roster>(read_roster(roster_text(models)));
  declared = roster.size();
  return plan(Budget::with_reserve_pct(24 * GiB, 10), roster);
}

// The plan's text as the module writes it: the explanation, then one buffer.
void BM_WritePlan(benchmark::State& state) {
  size_t declared = 0;
  const Plan result = roster_plan(state.range(0), declared);
  std::string buffer(1 << 16, '\0');
  for (auto _ : state) {
    const std::string explain = result.explain();
    benchmark::DoNotOptimize(write_plan(result, explain, declared, buffer.data(), buffer.size()));
  }
}

// The same built as a tree and written by the library, as it was before.
void BM_WritePlanByTree(benchmark::State& state) {
  size_t declared = 0;
  const Plan result = roster_plan(state.range(0), declared);
  for (auto _ : state)
    benchmark::DoNotOptimize(write_json(plan_json(result, declared)));
}

// A ready route's text as the module writes it, from a view of the slot,
// and from the owning route it was written from before.
void BM_WriteRouteView(benchmark::State& state) {
  const Fleet fleet = busy_fleet(4);
  const std::string first = fleet.slots.front().declared.model;
  char buffer[512];
  for (auto _ : state)
    benchmark::DoNotOptimize(write_route(fleet.route_view(first, 5000), buffer, sizeof buffer));
}

void BM_WriteRouteOwned(benchmark::State& state) {
  const Fleet fleet = busy_fleet(4);
  const std::string first = fleet.slots.front().declared.model;
  char buffer[512];
  for (auto _ : state)
    benchmark::DoNotOptimize(write_route(fleet.route(first, 5000), buffer, sizeof buffer));
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
BENCHMARK(BM_LibraryParserAlone)->Arg(4)->Arg(200);
BENCHMARK(BM_ReadRoster)->Arg(4)->Arg(200);
BENCHMARK(BM_ReadRosterByTree)->Arg(4)->Arg(200);
BENCHMARK(BM_LibraryParserAloneSmallDetail);
BENCHMARK(BM_ReadSmallDetail);
BENCHMARK(BM_ReadSmallDetailByTree);
BENCHMARK(BM_WritePlan)->Arg(4)->Arg(200);
BENCHMARK(BM_WritePlanByTree)->Arg(4)->Arg(200);
BENCHMARK(BM_WriteRouteView);
BENCHMARK(BM_WriteRouteOwned);

}  // namespace
}  // namespace garnel
