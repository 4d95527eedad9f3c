// Fuzzes a fleet's life: a byte stream read as a budget, a small roster and
// then a sequence of operations on the core Fleet (observe, set_endpoint,
// route, report, live_free_bytes, live_committed_bytes, next_to_load).
//
// After every step the fleet's figures are checked: the committed bytes are
// the saturated sum of the resident slots' vram_bytes, and free plus
// committed make the usable bytes unless the committed bytes alone exceed
// them (free is 0 then). Each operation is also held to its own contract: a
// change reaches the first slot of its name only; a route matches the slot's
// state, its text parses back with exactly the keys of its kind, and the
// module's direct writing of a view of it is the library's text; the
// report has the header and one line per slot, each exactly as the slot
// says, and is written whole or not at all into a room of any size;
// next_to_load names an admitted slot that can load and fits, and no
// such slot before it that its name reaches.

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include "budget.h"
#include "fleet.h"
#include "fuzz_checks.h"
#include "json_text.h"
#include "json_tree.h"
#include "residency.h"

namespace garnel {
namespace fuzz {
namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;

// Byte counts on the edges that matter: nothing, ties in GiB rounding, the
// reserve floor and either side of it, usual cards, and the end of the range.
constexpr uint64_t kBytes[] = {
    0,        1,         268435456, 805306368,      kGiB - 1,       kGiB,       kGiB + 1,
    8 * kGiB, 24 * kGiB, 80 * kGiB, UINT64_MAX / 2, UINT64_MAX - 1, UINT64_MAX,
};

// Names that repeat, differ only in case or a blank, need escaping in JSON,
// hold non-ASCII characters, or run past the report's name field.
const char* const kNames[] = {
    "a",         "b",
    "m1",        "A",
    "a ",        "\u00e9\u540d\u2014",
    "q\"\\\n\t", "a-model-name-longer-than-the-field",
};

uint64_t bytes(FuzzedDataProvider& in) {
  const size_t pick = in.ConsumeIntegralInRange<size_t>(0, std::size(kBytes));
  return pick < std::size(kBytes) ? kBytes[pick] : in.ConsumeIntegral<uint64_t>();
}

// Any text the host could pass: the fuzzer's bytes made valid UTF-8, as
// every text is by the time it reaches the core.
std::string text(FuzzedDataProvider& in, size_t most) {
  return valid_utf8(in.ConsumeRandomLengthString(most));
}

std::string model_name(FuzzedDataProvider& in) {
  const size_t pick = in.ConsumeIntegralInRange<size_t>(0, std::size(kNames));
  if (pick < std::size(kNames)) return kNames[pick];
  std::string name = text(in, 12);
  return name.empty() ? "z" : name;
}

// A name to look up: mostly a declared one, sometimes one no slot has.
std::string lookup_name(FuzzedDataProvider& in, const Fleet& fleet) {
  if (!fleet.slots.empty() && in.ConsumeBool()) {
    return fleet.slots[in.ConsumeIntegralInRange<size_t>(0, fleet.slots.size() - 1)].declared.model;
  }
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) return "";
  return model_name(in);
}

// The caller's clock: mostly forward, sometimes still, back, or anywhere.
uint64_t tick(FuzzedDataProvider& in, uint64_t now) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return saturating_add(now, in.ConsumeIntegralInRange<uint64_t>(0, 5000));
    case 1:
      return now;
    case 2:
      return saturating_sub(now, in.ConsumeIntegralInRange<uint64_t>(0, 5000));
    default:
      return in.ConsumeIntegral<uint64_t>();
  }
}

Observation observation(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
      return LoadStarted{};
    case 1:
      return ProbeOk{bytes(in)};
    case 2:
      return ProbeFailed{text(in, 8), in.ConsumeBool()};
    case 3:
      return ProcessExited{in.ConsumeBool() ? std::optional<int32_t>(in.ConsumeIntegral<int32_t>())
                                            : std::nullopt};
    case 4:
      return LoadFailed{text(in, 16)};
    default:
      return Stop{};
  }
}

// The index of the first slot named `model`, or slots.size().
size_t first_named(const Fleet& fleet, std::string_view model) {
  size_t i = 0;
  while (i < fleet.slots.size() && fleet.slots[i].declared.model != model)
    ++i;
  return i;
}

void check_figures(const Fleet& fleet) {
  uint64_t committed = 0;
  for (const Slot& slot : fleet.slots) {
    if (const auto* resident = std::get_if<Resident>(&slot.residency.state)) {
      committed = resident->vram_bytes > UINT64_MAX - committed ? UINT64_MAX
                                                                : committed + resident->vram_bytes;
    }
  }
  const uint64_t usable = fleet.budget.total_bytes > fleet.budget.reserve_bytes
                              ? fleet.budget.total_bytes - fleet.budget.reserve_bytes
                              : 0;
  const uint64_t free = fleet.live_free_bytes();
  GARNEL_FUZZ_CHECK(fleet.live_committed_bytes() == committed);
  if (committed <= usable) {
    GARNEL_FUZZ_CHECK(free + committed == usable);
  } else {
    GARNEL_FUZZ_CHECK(free == 0);
  }
}

// The slots as declare() must have built them from the plan.
void check_declared(const Fleet& fleet, const Budget& budget, const Roster& roster) {
  GARNEL_FUZZ_CHECK(fleet.budget == budget);
  GARNEL_FUZZ_CHECK(fleet.slots.size() == roster.size());
  const Plan decision = plan(budget, roster);
  for (size_t i = 0; i < roster.size(); ++i) {
    const Slot& slot = fleet.slots[i];
    GARNEL_FUZZ_CHECK(slot.declared == roster[i]);
    const Rejection* first = nullptr;
    for (const Rejection& r : decision.rejected) {
      if (r.model == roster[i].model) {
        first = &r;
        break;
      }
    }
    GARNEL_FUZZ_CHECK(slot.admitted == (first == nullptr));
    GARNEL_FUZZ_CHECK(slot.short_bytes ==
                      (first ? saturating_sub(first->needed_bytes, first->free_bytes) : 0));
    GARNEL_FUZZ_CHECK(!slot.endpoint.has_value());
    GARNEL_FUZZ_CHECK(std::holds_alternative<NeverProbed>(slot.residency.state));
  }
}

// A change reaches the first slot of its name and nothing else.
void check_changed_only(const Fleet& before, const Fleet& after, size_t index,
                        const Slot& expected) {
  GARNEL_FUZZ_CHECK(after.budget == before.budget);
  GARNEL_FUZZ_CHECK(after.slots.size() == before.slots.size());
  for (size_t i = 0; i < after.slots.size(); ++i)
    GARNEL_FUZZ_CHECK(after.slots[i] == (i == index ? expected : before.slots[i]));
}

// The route a slot's admission and state call for.
Route expected_route(const Fleet& fleet, const std::string& model, uint64_t now) {
  const size_t i = first_named(fleet, model);
  if (i == fleet.slots.size()) return RouteNotDeclared{model};
  const Slot& slot = fleet.slots[i];
  if (!slot.admitted) return RouteNotAdmitted{model, slot.short_bytes};
  const auto& state = slot.residency.state;
  if (const auto* s = std::get_if<Loading>(&state)) {
    return RouteWarming{model, now > s->since_ms ? now - s->since_ms : 0};
  }
  if (std::holds_alternative<Resident>(state) && slot.endpoint) {
    return RouteReady{model, *slot.endpoint};
  }
  if (const auto* s = std::get_if<Lost>(&state)) {
    return RouteLost{model, s->reason, s->reason != LostReason::kGpuDetached};
  }
  if (const auto* s = std::get_if<Failed>(&state)) return RouteFailed{model, s->detail};
  return RouteUnknown{model};
}

struct RouteShape {
  const char* tag;
  std::set<std::string> keys;  // every key of the route's text
  bool ready;
  bool try_elsewhere;
};

// By Route's alternatives, in declaration order.
const RouteShape kShapes[] = {
    {"ready",
     {"endpoint", "model", "operator_fault", "ready", "route", "try_elsewhere"},
     true,
     false},
    {"warming",
     {"for_ms", "model", "operator_fault", "ready", "route", "try_elsewhere"},
     false,
     false},
    {"lost", {"model", "operator_fault", "ready", "reason", "route", "try_elsewhere"}, false, true},
    {"failed",
     {"model", "operator_fault", "ready", "reason", "route", "try_elsewhere"},
     false,
     true},
    {"not_admitted",
     {"model", "operator_fault", "ready", "route", "short_bytes", "try_elsewhere"},
     false,
     true},
    {"not_declared", {"model", "operator_fault", "ready", "route", "try_elsewhere"}, false, true},
    {"unknown", {"model", "operator_fault", "ready", "route", "try_elsewhere"}, false, true},
};

void check_route(const Fleet& fleet, const std::string& model, uint64_t now) {
  const Route route = fleet.route(model, now);
  GARNEL_FUZZ_CHECK(route == expected_route(fleet, model, now));

  // The text the host receives: the route's keys and the three flags.
  JsonValue object = route_json(route);
  const RouteFlags flags = route_flags(route);
  object["ready"] = flags.ready;
  object["try_elsewhere"] = flags.try_elsewhere;
  object["operator_fault"] = flags.operator_fault;
  const std::string written = write_json(object);
  // The module writes the route directly, from a view of the slot's texts.
  const RouteView view = fleet.route_view(model, now);
  std::string direct(write_route(view, nullptr, 0), '\0');
  direct.resize(write_route(view, direct.data(), direct.size()));
  GARNEL_FUZZ_CHECK_TEXT(direct == written, direct);

  auto parsed = parse_json(written);
  const auto* back = std::get_if<JsonValue>(&parsed);
  GARNEL_FUZZ_CHECK_TEXT(back != nullptr, written);
  GARNEL_FUZZ_CHECK_TEXT(back->is_object(), written);
  GARNEL_FUZZ_CHECK_TEXT(write_json(*back) == written, written);

  const RouteShape& shape = kShapes[route.index()];
  // Both sides are in ascending byte order, so they can be walked together.
  GARNEL_FUZZ_CHECK_TEXT(back->size() == shape.keys.size(), written);
  auto key = shape.keys.begin();
  for (auto it = back->begin(); it != back->end(); ++it, ++key)
    GARNEL_FUZZ_CHECK_TEXT(it.key() == *key, written);

  const JsonValue& v = *back;
  GARNEL_FUZZ_CHECK_TEXT(v["route"] == shape.tag, written);
  GARNEL_FUZZ_CHECK_TEXT(v["model"].is_string() && v["model"] == model, written);
  GARNEL_FUZZ_CHECK_TEXT(v["ready"] == shape.ready, written);
  GARNEL_FUZZ_CHECK_TEXT(v["try_elsewhere"] == shape.try_elsewhere, written);
  bool operator_fault = std::holds_alternative<RouteFailed>(route);
  if (const auto* lost = std::get_if<RouteLost>(&route)) {
    operator_fault = lost->operator_fault;
    static const std::set<std::string> reasons = {"evicted", "gpu_detached", "process_exited",
                                                  "unhealthy"};
    GARNEL_FUZZ_CHECK_TEXT(v["reason"].is_string() && reasons.count(v["reason"].get<std::string>()),
                           written);
    GARNEL_FUZZ_CHECK_TEXT(v["reason"] == lost_reason_json_name(lost->reason), written);
  }
  GARNEL_FUZZ_CHECK_TEXT(v["operator_fault"] == operator_fault, written);
  if (const auto* r = std::get_if<RouteReady>(&route)) {
    GARNEL_FUZZ_CHECK_TEXT(v["endpoint"] == r->endpoint, written);
  }
  if (const auto* r = std::get_if<RouteWarming>(&route)) {
    GARNEL_FUZZ_CHECK_TEXT(v["for_ms"].is_number_unsigned() && v["for_ms"] == r->for_ms, written);
  }
  if (const auto* r = std::get_if<RouteFailed>(&route)) {
    GARNEL_FUZZ_CHECK_TEXT(v["reason"] == r->reason, written);
  }
  if (const auto* r = std::get_if<RouteNotAdmitted>(&route)) {
    GARNEL_FUZZ_CHECK_TEXT(
        v["short_bytes"].is_number_unsigned() && v["short_bytes"] == r->short_bytes, written);
  }
}

// GiB to one decimal by another road: glibc's printf also rounds the exact
// double, ties to even.
std::string gib(uint64_t bytes) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.1f", static_cast<double>(bytes) / 1073741824.0);
  return buffer;
}

size_t code_points(std::string_view text) {
  size_t count = 0;
  for (const unsigned char byte : text)
    count += (byte & 0xC0) != 0x80;
  return count;
}

void check_report(const Fleet& fleet, uint64_t now) {
  size_t admitted = 0;
  for (const Slot& slot : fleet.slots)
    admitted += slot.admitted;
  std::vector<std::string> lines;
  lines.push_back(gib(fleet.live_committed_bytes()) + " / " + gib(fleet.budget.usable_bytes()) +
                  " GiB held  (" + std::to_string(fleet.slots.size()) + " declared, " +
                  std::to_string(admitted) + " admitted)");
  for (const Slot& slot : fleet.slots) {
    std::string line = "  " + slot.declared.model;
    const size_t width = code_points(slot.declared.model);
    if (width < 28) line.append(28 - width, ' ');
    line += ' ';
    line += slot.admitted ? slot.residency.explain(now)
                          : "not admitted \u2014 short by " + gib(slot.short_bytes) + " GiB";
    lines.push_back(line);
  }
  std::string expected;
  for (const std::string& line : lines)
    expected += line + "\n";
  const std::string report = fleet.report(now);
  GARNEL_FUZZ_CHECK_TEXT(report == expected, report);
  GARNEL_FUZZ_CHECK_TEXT(is_valid_utf8(report), report);
  // In a room of any size the report is whole or absent, and whole in the
  // bound's room; the room is allocated exactly, so the sanitizer sees any
  // write past it.
  const size_t bound = fleet.report_bound();
  const size_t room = now % 2 == 0 ? bound : static_cast<size_t>(now / 2 % (bound + 1));
  const std::unique_ptr<char[]> buffer(new char[room]);
  const std::optional<std::string_view> written = fleet.write_report(buffer.get(), room, now);
  GARNEL_FUZZ_CHECK(written ? *written == report : room < bound);
}

// next_to_load names an admitted slot that can load (never probed, lost or
// failed) and fits the free bytes, the first such slot in roster order. A
// slot behind an earlier one of the same name may be passed over, since no
// observation can reach it; with that, the first one its name reaches.
void check_next_to_load(const Fleet& fleet) {
  const std::optional<std::string_view> next = fleet.next_to_load();
  const uint64_t free = fleet.live_free_bytes();
  const Slot* first = nullptr;
  const Slot* first_reached = nullptr;
  const Slot* named = nullptr;
  for (size_t i = 0; i < fleet.slots.size(); ++i) {
    const Slot& slot = fleet.slots[i];
    // The view must be of the slot's own name, not a copy.
    if (next && next->data() == slot.declared.model.data()) named = &slot;
    const auto& state = slot.residency.state;
    const bool can_load = std::holds_alternative<NeverProbed>(state) ||
                          std::holds_alternative<Lost>(state) ||
                          std::holds_alternative<Failed>(state);
    if (!slot.admitted || !can_load || slot.declared.needed_bytes() > free) continue;
    if (first == nullptr) first = &slot;
    if (first_reached == nullptr && first_named(fleet, slot.declared.model) == i) {
      first_reached = &slot;
    }
  }
  if (!next) {
    GARNEL_FUZZ_CHECK(first_reached == nullptr);
    return;
  }
  GARNEL_FUZZ_CHECK(named != nullptr);
  GARNEL_FUZZ_CHECK(next->size() == named->declared.model.size());
  GARNEL_FUZZ_CHECK(named == first || named == first_reached);
}

}  // namespace
}  // namespace fuzz
}  // namespace garnel

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace garnel;
  using namespace garnel::fuzz;
  FuzzedDataProvider in(data, size);

  // One read per statement: the order of a call's arguments is unspecified,
  // and seeds are written for this order.
  const uint64_t total_bytes = bytes(in);
  const uint8_t reserve_pct = in.ConsumeIntegral<uint8_t>();
  const Budget budget = Budget::with_reserve_pct(total_bytes, reserve_pct);
  Roster roster(in.ConsumeIntegralInRange<size_t>(0, 6));
  for (Declared& declared : roster) {
    declared.model = model_name(in);
    declared.weights_bytes = bytes(in);
    declared.kv_bytes = bytes(in);
  }
  Fleet fleet = declare(budget, roster);
  check_declared(fleet, budget, roster);
  check_figures(fleet);

  uint64_t now = in.ConsumeIntegralInRange<uint64_t>(0, 100000);
  while (in.remaining_bytes() > 0) {
    now = tick(in, now);
    // The byte figures are read after every step, so they need no case.
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
      case 0: {
        const std::string model = lookup_name(in, fleet);
        const Observation seen = observation(in);
        const Fleet before = fleet;
        fleet.observe(model, seen, now);
        const size_t i = first_named(before, model);
        Slot expected = i < before.slots.size() ? before.slots[i] : Slot{};
        expected.residency = expected.residency.observe(seen, now);
        check_changed_only(before, fleet, i, expected);
        break;
      }
      case 1: {
        const std::string model = lookup_name(in, fleet);
        const std::string endpoint = text(in, 16);
        const Fleet before = fleet;
        fleet.set_endpoint(model, endpoint);
        const size_t i = first_named(before, model);
        Slot expected = i < before.slots.size() ? before.slots[i] : Slot{};
        expected.endpoint = endpoint;
        check_changed_only(before, fleet, i, expected);
        break;
      }
      case 2:
        check_route(fleet, lookup_name(in, fleet), now);
        break;
      case 3:
        check_report(fleet, now);
        break;
      default:
        check_next_to_load(fleet);
        break;
    }
    check_figures(fleet);
  }
  return 0;
}
