#include "fleet.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "json_text.h"
#include "route_text.h"

namespace garnel {
namespace {

constexpr uint64_t GiB = uint64_t{1} << 30;

// A budget with exactly `usable` bytes for models.
Budget usable(uint64_t bytes) {
  return Budget{bytes + GiB, GiB};
}

struct Step {
  const char* model;
  Observation observation;
  uint64_t now = 0;
};

Fleet fleet_after(Budget budget, Roster roster, const std::vector<Step>& steps) {
  Fleet fleet = declare(budget, std::move(roster));
  for (const Step& step : steps)
    fleet.observe(step.model, step.observation, step.now);
  return fleet;
}

struct AdmissionCase {
  const char* name;
  Budget budget;
  Roster roster;
  std::vector<std::pair<bool, uint64_t>> admitted_and_short;
};

TEST(Declare, AdmissionIsByNameFromTheFirstRejection) {
  const AdmissionCase cases[] = {
      {"empty roster", usable(10), {}, {}},
      {"all fit", usable(10), {{"a", 4, 1}, {"b", 5, 0}}, {{true, 0}, {true, 0}}},
      {"one short", usable(10), {{"a", 8, 0}, {"b", 5, 0}}, {{true, 0}, {false, 3}}},
      {"a later rejection of the name marks the first slot",
       usable(40),
       {{"a", 10, 0}, {"b", 50, 0}, {"a", 40, 0}},
       {{false, 10}, {false, 20}, {false, 10}}},
      {"an earlier rejection marks a later slot that fitted",
       usable(40),
       {{"a", 50, 0}, {"a", 10, 0}},
       {{false, 10}, {false, 10}}},
      {"both slots take the first shortfall",
       usable(40),
       {{"a", 50, 0}, {"a", 60, 0}},
       {{false, 10}, {false, 10}}},
      {"names differing in case are apart",
       usable(40),
       {{"a", 50, 0}, {"A", 10, 0}},
       {{false, 10}, {true, 0}}},
  };
  for (const AdmissionCase& c : cases) {
    const Fleet fleet = declare(c.budget, c.roster);
    EXPECT_EQ(fleet.budget, c.budget) << c.name;
    ASSERT_EQ(fleet.slots.size(), c.roster.size()) << c.name;
    for (size_t i = 0; i < fleet.slots.size(); ++i) {
      const Slot& slot = fleet.slots[i];
      EXPECT_EQ(slot.declared, c.roster[i]) << c.name;
      EXPECT_EQ(std::pair(slot.admitted, slot.short_bytes), c.admitted_and_short[i])
          << c.name << " slot " << i;
      EXPECT_EQ(slot.endpoint, std::nullopt) << c.name;
      EXPECT_EQ(slot.residency, Residency{}) << c.name;
    }
  }
}

struct BytesCase {
  const char* name;
  Budget budget;
  Roster roster;
  std::vector<Step> steps;
  uint64_t committed;
  uint64_t free;
  std::optional<std::string_view> next;
};

TEST(Fleet, BytesAndNextToLoad) {
  const BytesCase cases[] = {
      {"empty roster", usable(100), {}, {}, 0, 100, std::nullopt},
      {"the reserve takes the whole total",
       Budget{GiB, GiB},
       {{"a", 1, 0}, {"z", 0, 0}},
       {},
       0,
       0,
       "z"},
      {"resident bytes beyond the usable floor free at 0",
       usable(100),
       {{"a", 40, 0}, {"b", 40, 0}},
       {{"a", ProbeOk{80}}, {"b", ProbeOk{50}}},
       130,
       0,
       std::nullopt},
      {"the committed sum saturates instead of wrapping",
       usable(100),
       {{"a", 1, 0}, {"b", 1, 0}},
       {{"a", ProbeOk{UINT64_MAX}}, {"b", ProbeOk{5}}},
       UINT64_MAX,
       0,
       std::nullopt},
      {"a loading model holds nothing and does not block the next",
       usable(100),
       {{"a", 60, 0}, {"b", 40, 0}},
       {{"a", LoadStarted{}}},
       0,
       100,
       "b"},
      {"a resident model holds its probed bytes, not its declared ones",
       usable(100),
       {{"a", 60, 0}, {"b", 40, 0}},
       {{"a", LoadStarted{}}, {"a", ProbeOk{7}}},
       7,
       93,
       "b"},
      {"a model that was not admitted still holds what it reports",
       usable(40),
       {{"a", 50, 0}},
       {{"a", ProbeOk{30}}},
       30,
       10,
       std::nullopt},
      {"need equal to free is named",
       usable(100),
       {{"r", 10, 0}, {"a", 30, 20}, {"b", 40, 0}},
       {{"r", ProbeOk{50}}},
       50,
       50,
       "a"},
      {"need one byte over free skips to the next slot",
       usable(100),
       {{"r", 10, 0}, {"a", 30, 20}, {"b", 40, 0}},
       {{"r", ProbeOk{51}}},
       51,
       49,
       "b"},
      {"a stopped model is never named",
       usable(100),
       {{"a", 10, 0}, {"b", 10, 0}},
       {{"a", Stop{}}},
       0,
       100,
       "b"},
      {"a failed load makes a stopped model a candidate again",
       usable(100),
       {{"a", 10, 0}, {"b", 10, 0}},
       {{"a", Stop{}}, {"a", LoadFailed{}}},
       0,
       100,
       "a"},
      {"a loss makes a stopped model a candidate again",
       usable(100),
       {{"a", 10, 0}, {"b", 10, 0}},
       {{"a", Stop{}}, {"a", LoadStarted{}}, {"a", ProcessExited{}}},
       0,
       100,
       "a"},
      {"a model that was not admitted is skipped although it fits now",
       usable(100),
       {{"a", 50, 0}, {"b", 60, 0}, {"c", 10, 0}},
       {{"a", Stop{}}},
       0,
       100,
       "c"},
      {"every candidate taken",
       usable(100),
       {{"a", 10, 0}, {"b", 10, 0}},
       {{"a", LoadStarted{}}, {"b", ProbeOk{10}}},
       10,
       90,
       std::nullopt},
  };
  for (const BytesCase& c : cases) {
    const Fleet fleet = fleet_after(c.budget, c.roster, c.steps);
    EXPECT_EQ(fleet.live_committed_bytes(), c.committed) << c.name;
    EXPECT_EQ(fleet.live_free_bytes(), c.free) << c.name;
    EXPECT_EQ(fleet.next_to_load(), c.next) << c.name;
  }
}

TEST(Fleet, UnknownNamesChangeNothing) {
  const Fleet before = fleet_after(usable(100), {{"m1", 10, 0}}, {{"m1", LoadStarted{}, 5}});
  for (const char* name : {"M1", "m1 ", "", "m2"}) {
    Fleet fleet = before;
    fleet.observe(name, Stop{}, 9);
    fleet.set_endpoint(name, "ep");
    EXPECT_EQ(fleet, before) << name;
  }
}

TEST(Fleet, ByNameOperationsReachOnlyTheFirstSlotOfTheName) {
  Fleet fleet = declare(usable(100), {{"d", 10, 0}, {"d", 10, 0}});
  fleet.observe("d", ProbeOk{4}, 1);
  fleet.set_endpoint("d", "ep1");
  EXPECT_EQ(fleet.slots[0].residency, (Residency{Resident{1, 4}}));
  EXPECT_EQ(fleet.slots[0].endpoint, "ep1");
  EXPECT_EQ(fleet.slots[1].residency, Residency{});
  EXPECT_EQ(fleet.slots[1].endpoint, std::nullopt);
  EXPECT_EQ(fleet.slot_named("d"), &fleet.slots[0]);
  EXPECT_EQ(fleet.route("d", 2), Route(RouteReady{"d", "ep1"}));
  // The second slot cannot be reached by name, so it is never proposed: the
  // host would load "d" again and again without the slot ever changing.
  EXPECT_EQ(fleet.next_to_load(), std::nullopt);
  Fleet behind = declare(usable(100), {{"d", 10, 0}, {"d", 10, 0}, {"e", 10, 0}});
  behind.observe("d", LoadStarted{}, 1);
  EXPECT_EQ(behind.next_to_load(), "e");
  behind.observe("d", LoadFailed{}, 2);
  EXPECT_EQ(behind.next_to_load(), "d");
}

// m1 fits the card; big lacks 4.5 GiB of what m1 leaves.
Fleet route_fleet(const std::vector<Step>& steps) {
  return fleet_after(usable(32 * GiB), {{"m1", GiB, 0}, {"big", 35 * GiB, GiB / 2}}, steps);
}

struct RouteTextCase {
  std::vector<Step> steps;
  const char* asked;
  uint64_t now;
  const char* text;
};

TEST(Route, TheEightTexts) {
  const RouteTextCase cases[] = {
      {{{"m1", ProbeOk{GiB}}},
       "m1",
       0,
       R"({"endpoint":"ep1","model":"m1","operator_fault":false,"ready":true,"route":"ready","try_elsewhere":false})"},
      {{{"m1", LoadStarted{}, 1000}},
       "m1",
       2500,
       R"({"for_ms":1500,"model":"m1","operator_fault":false,"ready":false,"route":"warming","try_elsewhere":false})"},
      {{{"m1", ProcessExited{}}},
       "m1",
       0,
       R"({"model":"m1","operator_fault":true,"ready":false,"reason":"process_exited","route":"lost","try_elsewhere":true})"},
      {{{"m1", ProbeFailed{"", false}}},
       "m1",
       0,
       R"({"model":"m1","operator_fault":false,"ready":false,"reason":"gpu_detached","route":"lost","try_elsewhere":true})"},
      {{{"m1", LoadFailed{"out of memory"}}},
       "m1",
       0,
       R"({"model":"m1","operator_fault":true,"ready":false,"reason":"out of memory","route":"failed","try_elsewhere":true})"},
      {{},
       "big",
       0,
       R"({"model":"big","operator_fault":false,"ready":false,"route":"not_admitted","short_bytes":4831838208,"try_elsewhere":true})"},
      {{},
       "m2",
       0,
       R"({"model":"m2","operator_fault":false,"ready":false,"route":"not_declared","try_elsewhere":true})"},
      {{},
       "m1",
       0,
       R"({"model":"m1","operator_fault":false,"ready":false,"route":"unknown","try_elsewhere":true})"},
  };
  for (const RouteTextCase& c : cases) {
    Fleet fleet = route_fleet(c.steps);
    fleet.set_endpoint("m1", "ep1");
    EXPECT_EQ(route_text_by_library(fleet.route(c.asked, c.now)), c.text);
    // The module's way: the texts viewed in the slot, written directly.
    char buffer[512];
    const size_t length = write_route(fleet.route_view(c.asked, c.now), buffer, sizeof buffer);
    EXPECT_EQ(std::string_view(buffer, length), c.text);
  }
}

struct RouteEdgeCase {
  const char* name;
  std::vector<Step> steps;
  std::vector<std::pair<const char*, const char*>> endpoints;
  const char* asked;
  uint64_t now;
  Route route;
};

TEST(Route, EdgeCases) {
  const RouteEdgeCase cases[] = {
      {"a load stamped after now",
       {{"m1", LoadStarted{}, 5000}},
       {},
       "m1",
       4000,
       RouteWarming{"m1", 0}},
      {"resident, no endpoint", {{"m1", ProbeOk{1}}}, {}, "m1", 0, RouteUnknown{"m1"}},
      {"an empty endpoint is present",
       {{"m1", ProbeOk{1}}},
       {{"m1", ""}},
       "m1",
       0,
       RouteReady{"m1", ""}},
      {"the latest endpoint survives a loss and a reload",
       {{"m1", ProbeOk{1}}, {"m1", ProcessExited{}}, {"m1", LoadStarted{}}, {"m1", ProbeOk{1}}},
       {{"m1", "ep1"}, {"m1", "ep2"}},
       "m1",
       0,
       RouteReady{"m1", "ep2"}},
      {"not admitted, whatever else",
       {{"big", ProbeOk{GiB}}},
       {{"big", "ep9"}},
       "big",
       0,
       RouteNotAdmitted{"big", 4831838208}},
      {"evicted",
       {{"m1", ProbeOk{1}}, {"m1", ProbeFailed{}}},
       {},
       "m1",
       0,
       RouteLost{"m1", LostReason::kEvicted, true}},
      {"unhealthy",
       {{"m1", ProbeFailed{}}},
       {},
       "m1",
       0,
       RouteLost{"m1", LostReason::kUnhealthy, true}},
      {"stopped",
       {{"m1", ProbeOk{1}}, {"m1", Stop{}}},
       {{"m1", "ep1"}},
       "m1",
       0,
       RouteUnknown{"m1"}},
      {"case differs", {}, {}, "M1", 0, RouteNotDeclared{"M1"}},
      {"the empty name", {}, {}, "", 0, RouteNotDeclared{""}},
  };
  for (const RouteEdgeCase& c : cases) {
    Fleet fleet = route_fleet(c.steps);
    for (const auto& [model, endpoint] : c.endpoints)
      fleet.set_endpoint(model, endpoint);
    EXPECT_EQ(fleet.route(c.asked, c.now), c.route) << c.name;
    // A view of the same route writes the same text, however long it is.
    const RouteView view = fleet.route_view(c.asked, c.now);
    const size_t bound = write_route(view, nullptr, 0);
    std::string text(bound, '\0');
    text.resize(write_route(view, text.data(), text.size()));
    EXPECT_EQ(text, write_route(c.route)) << c.name;
  }
}

TEST(Route, TextsAreEscapedOnlyWhereTheyMust) {
  const Fleet fleet = route_fleet({{"m1", LoadFailed{"say \"no\" \\ \n\x01 é"}}});
  EXPECT_EQ(
      route_text_by_library(fleet.route("m1", 0)),
      R"({"model":"m1","operator_fault":true,"ready":false,"reason":"say \"no\" \\ \n\u0001 é","route":"failed","try_elsewhere":true})");
  EXPECT_EQ(
      route_text_by_library(fleet.route("模\"1\"", 0)),
      R"({"model":"模\"1\"","operator_fault":false,"ready":false,"route":"not_declared","try_elsewhere":true})");
}

struct ReportCase {
  const char* name;
  Budget budget;
  Roster roster;
  std::vector<Step> steps;
  uint64_t now;
  const char* text;
};

TEST(Report, Texts) {
  const ReportCase cases[] = {
      {"the card of the example",
       usable(72 * GiB),
       {{"m1", 20 * GiB, 0}, {"m2", 20 * GiB, 0}, {"m3", 36 * GiB, GiB / 2}},
       {{"m1", ProbeOk{20 * GiB}, 1000}, {"m2", LoadStarted{}, 10000}},
       13000,
       "20.0 / 72.0 GiB held  (3 declared, 2 admitted)\n"
       "  m1                           resident for 12s\n"
       "  m2                           loading for 3s\n"
       "  m3                           not admitted \u2014 short by 4.5 GiB\n"},
      {"a lost model shows its reason alone, however long ago",
       usable(8 * GiB),
       {{"e", GiB, 0}, {"x", GiB, 0}},
       {{"e", ProbeOk{GiB}, 0}, {"e", ProbeFailed{"", true}, 1000}, {"x", ProcessExited{}, 0}},
       86400000,
       "0.0 / 8.0 GiB held  (2 declared, 2 admitted)\n"
       "  e                            evicted by the runtime to free VRAM\n"
       "  x                            the serving process exited\n"},
      {"an empty fleet gives the header alone",
       Budget{0, 0},
       {},
       {},
       0,
       "0.0 / 0.0 GiB held  (0 declared, 0 admitted)\n"},
      {"0.75 GiB rounds up",
       usable(GiB),
       {{"a", 1, 0}},
       {{"a", ProbeOk{805306368}}},
       0,
       "0.8 / 1.0 GiB held  (1 declared, 1 admitted)\n"
       "  a                            resident for 0s\n"},
      {"0.25 GiB rounds to even",
       usable(GiB),
       {{"a", 1, 0}},
       {{"a", ProbeOk{268435456}}},
       0,
       "0.2 / 1.0 GiB held  (1 declared, 1 admitted)\n"
       "  a                            resident for 0s\n"},
      {"a resident model that was not admitted holds but shows its shortfall",
       usable(GiB),
       {{"a", 2 * GiB, 0}},
       {{"a", ProbeOk{GiB / 2}}},
       0,
       "0.5 / 1.0 GiB held  (1 declared, 0 admitted)\n"
       "  a                            not admitted \u2014 short by 1.0 GiB\n"},
      {"a saturated held figure",
       usable(GiB),
       {{"a", 1, 0}, {"b", 1, 0}},
       {{"a", ProbeOk{UINT64_MAX}}, {"b", ProbeOk{uint64_t{1} << 63}}},
       0,
       "17179869184.0 / 1.0 GiB held  (2 declared, 2 admitted)\n"
       "  a                            resident for 0s\n"
       "  b                            resident for 0s\n"},
      {"names are padded by code points, and a long one pushes its status right",
       usable(GiB),
       {{"mod\u00e8le-\u03b2", 1, 0},
        {"\u00fcber-na\u00efve-mod\u00e8le-\U0001F600\U0001F600", 1, 0},
        {"exactly-twenty-eight-points.", 1, 0},
        {"a-name-of-twenty-nine-points.", 1, 0}},
       {{"exactly-twenty-eight-points.", Stop{}},
        {"a-name-of-twenty-nine-points.", LoadFailed{""}}},
       0,
       "0.0 / 1.0 GiB held  (4 declared, 4 admitted)\n"
       "  mod\u00e8le-\u03b2                     never probed\n"
       "  \u00fcber-na\u00efve-mod\u00e8le-\U0001F600\U0001F600         never probed\n"
       "  exactly-twenty-eight-points. stopped on request\n"
       "  a-name-of-twenty-nine-points. failed to load: \n"},
  };
  for (const ReportCase& c : cases) {
    EXPECT_EQ(fleet_after(c.budget, c.roster, c.steps).report(c.now), c.text) << c.name;
  }
}

TEST(Report, NamesOfEveryShortLengthAreCopiedAndPadded) {
  // Names of 0 to 70 bytes (past the longest copied inline), plain and with
  // a multi-byte character at the start, in the middle or at the end, so
  // that every byte of every length is both copied and counted.
  const auto plain = [](size_t size) {
    std::string text;
    for (size_t i = 0; i < size; ++i)
      text += static_cast<char>('a' + i % 26);
    return text;
  };
  Roster roster;
  for (size_t size = 0; size <= 70; ++size) {
    roster.push_back({plain(size), 1, 0});
    if (size >= 2) {
      roster.push_back({"\u00e9" + plain(size - 2), 1, 0});
      roster.push_back({plain(size - 2) + "\u00e9", 1, 0});
    }
    if (size >= 4) {
      const size_t before = (size - 4) / 2;
      roster.push_back({plain(before) + "\U0001F600" + plain(size - 4 - before), 1, 0});
    }
  }
  const Fleet fleet = declare(Budget{0, 0}, roster);
  // Nothing fits a card of no bytes, so every status is the same length.
  std::string expected =
      "0.0 / 0.0 GiB held  (" + std::to_string(roster.size()) + " declared, 0 admitted)\n";
  for (const Declared& entry : roster) {
    size_t points = 0;
    for (const char byte : entry.model)
      points += (static_cast<unsigned char>(byte) & 0xC0) != 0x80 ? 1 : 0;
    expected += "  " + entry.model + std::string(points < 28 ? 29 - points : 1, ' ') +
                "not admitted \u2014 short by 0.0 GiB\n";
  }
  const size_t bound = fleet.report_bound();
  std::string buffer(bound + 16, '#');
  const std::optional<std::string_view> written = fleet.write_report(buffer.data(), bound, 0);
  EXPECT_EQ(written, expected);
  EXPECT_EQ(buffer.substr(bound), std::string(16, '#'));
}

TEST(Report, TheLongestLinesStayWithinTheBound) {
  // Every status at its longest: 20-digit seconds, the longest lost reason,
  // a failure detail, the largest shortfall; one-byte and four-byte names.
  Fleet fleet = fleet_after(Budget{2 * GiB, GiB},
                            {{"r", 1, 0},
                             {"\U0001F600\U0001F600", 1, 0},
                             {"e", 1, 0},
                             {"f", 1, 0},
                             {"big", UINT64_MAX, 0}},
                            {{"r", ProbeOk{UINT64_MAX}, 0},
                             {"e", ProbeOk{1}, 0},
                             {"e", ProbeFailed{"", true}, 0},
                             {"f", LoadFailed{std::string(300, 'x')}, 0}});
  fleet.observe("\U0001F600\U0001F600", LoadStarted{}, 0);
  const size_t bound = fleet.report_bound();
  const std::string report = fleet.report(UINT64_MAX);
  // In less room the report is whole or not at all, and never written past
  // the room; in the bound's room it is always whole.
  for (size_t room = 0; room <= bound; ++room) {
    std::string buffer(room + 16, '#');
    const std::optional<std::string_view> written =
        fleet.write_report(buffer.data(), room, UINT64_MAX);
    ASSERT_EQ(buffer.substr(room), std::string(16, '#')) << room;
    if (written) {
      ASSERT_EQ(*written, report) << room;
    } else {
      ASSERT_LT(room, bound);
    }
  }
  EXPECT_NE(report.find("resident for 18446744073709551s"), std::string::npos);
  EXPECT_NE(report.find("short by 17179869183.0 GiB"), std::string::npos);
}

}  // namespace
}  // namespace garnel
