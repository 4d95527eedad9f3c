#include "budget.h"

#include <gtest/gtest.h>

#include <charconv>
#include <random>

#include <nlohmann/json.hpp>

#include "json_text.h"
#include "json_tree.h"

namespace garnel {
namespace {

constexpr uint64_t GiB = uint64_t{1} << 30;
constexpr uint64_t MiB = uint64_t{1} << 20;

struct ReserveCase {
  uint64_t total;
  int pct;
  uint64_t reserve;
  uint64_t usable;
};

TEST(Budget, ReserveTable) {
  const ReserveCase cases[] = {
      {25769803776, 10, 2576980370, 23192823406},
      {25769803776, 0, GiB, 24696061952},
      {8589934592, 5, GiB, 7516192768},
      {536870912, 0, 536870912, 0},
      {10000000057, 100, 10000000000, 57},
      {85899345920, 255, 85899345900, 20},
      {0, 50, 0, 0},
      {GiB, 0, GiB, 0},
      {GiB, 100, GiB, 0},
      {25769803776, 200, 25769803700, 76},
      // 10% of just over 10 GiB lands exactly on the floor, which it keeps.
      {10737418240, 10, GiB, 9663676416},
      {UINT64_MAX, 100, 18446744073709551600u, 15},
  };
  for (const ReserveCase& c : cases) {
    const Budget budget = Budget::with_reserve_pct(c.total, static_cast<uint8_t>(c.pct));
    EXPECT_EQ(budget.total_bytes, c.total) << c.total << " at " << c.pct;
    EXPECT_EQ(budget.reserve_bytes, c.reserve) << c.total << " at " << c.pct;
    EXPECT_EQ(budget.usable_bytes(), c.usable) << c.total << " at " << c.pct;
  }
}

TEST(Budget, UsableNeverWrapsWhenTheReserveIsLarger) {
  EXPECT_EQ((Budget{5, 9}).usable_bytes(), 0u);
}

using RosterRead = std::variant<Roster, std::vector<std::string>>;

// The roster read from the parser's events, as the module reads it, after
// checking that the tree reader, the oracle, reads the same.
RosterRead declared(const char* json) {
  auto read = read_roster(json);
  EXPECT_FALSE(std::holds_alternative<JsonFault>(read)) << json;
  RosterRead events;
  if (auto* roster = std::get_if<Roster>(&read)) events = std::move(*roster);
  if (auto* messages = std::get_if<std::vector<std::string>>(&read)) events = std::move(*messages);
  EXPECT_EQ(events, declared_from_json(JsonValue::parse(json))) << json;
  return events;
}

struct RosterCase {
  const char* json;
  std::vector<std::string> messages;  // empty: the roster reads
};

TEST(Roster, RefusalsCarryEveryBadEntryInOrder) {
  const RosterCase cases[] = {
      {R"({})", {"expected an array of declared models"}},
      {R"("x")", {"expected an array of declared models"}},
      {R"(null)", {"expected an array of declared models"}},
      {R"([5])", {R"(entry 0: missing "model")"}},
      {R"([{"model": 7, "weights_bytes": 1}])", {R"(entry 0: missing "model")"}},
      {R"([{"weights_bytes": 1}])", {R"(entry 0: missing "model")"}},
      // Only an object's string member names a model.
      {R"(["a", ["model", "a"], null, {"model": null}, {"model": true}, {"model": ["a"]},
          {"model": {"model": "a"}}])",
       {R"(entry 0: missing "model")", R"(entry 1: missing "model")", R"(entry 2: missing "model")",
        R"(entry 3: missing "model")", R"(entry 4: missing "model")", R"(entry 5: missing "model")",
        R"(entry 6: missing "model")"}},
      // The weights are checked before the cache.
      {R"([{"model": "a", "kvBytes": "x"}])",
       {R"(entry 0: a: "weightsBytes" missing or not a whole byte count)"}},
      {R"([{"model": "", "weights_bytes": 1}])", {R"(entry 0: "model" is empty)"}},
      {R"([{"model": "", "weightsBytes": "bad", "kvBytes": false}])",
       {R"(entry 0: "model" is empty)"}},
      {R"([{"model": "a"}])", {R"(entry 0: a: "weightsBytes" missing or not a whole byte count)"}},
      {R"([{"model": "a", "weightsBytes": null}])",
       {R"(entry 0: a: "weightsBytes" missing or not a whole byte count)"}},
      // The camel spelling wins even when its value is bad.
      {R"([{"model": "a", "weightsBytes": "1", "weights_bytes": 1}])",
       {R"(entry 0: a: "weightsBytes" missing or not a whole byte count)"}},
      {R"([{"model": "a", "weightsBytes": 2.5}])",
       {R"(entry 0: a: "weightsBytes" missing or not a whole byte count)"}},
      {R"([{"model": "a", "weightsBytes": -0.5}])",
       {R"(entry 0: a: "weightsBytes" missing or not a whole byte count)"}},
      {R"([{"model": "a", "weightsBytes": -3}])",
       {R"(entry 0: a: "weightsBytes" missing or not a whole byte count)"}},
      {R"([{"model": "a", "weightsBytes": 1, "kvBytes": false}])",
       {R"(entry 0: a: "kvBytes" is not a whole byte count)"}},
      {R"([{"model": "a", "weightsBytes": 1, "kvBytes": "12"}])",
       {R"(entry 0: a: "kvBytes" is not a whole byte count)"}},
      {R"([{"model": "a", "weightsBytes": 1, "kvBytes": null, "kv_bytes": "x"}])", {}},
      {R"([{"model": "a", "weightsBytes": 1, "kvBytes": 0.5, "kv_bytes": 1}])",
       {R"(entry 0: a: "kvBytes" is not a whole byte count)"}},
      // Names are quoted neither in the message nor escaped.
      {R"([{"model": "say \"hi\"", "weightsBytes": []}])",
       {R"(entry 0: say "hi": "weightsBytes" missing or not a whole byte count)"}},
      {R"([{"model": "ok", "weightsBytes": 1}, {"x": 1}, {"model": "big", "weightsBytes": 2.5}])",
       {R"(entry 1: missing "model")",
        R"(entry 2: big: "weightsBytes" missing or not a whole byte count)"}},
      {R"([])", {}},
  };
  for (const RosterCase& c : cases) {
    const auto read = declared(c.json);
    if (c.messages.empty()) {
      EXPECT_TRUE(std::holds_alternative<Roster>(read)) << c.json;
    } else {
      ASSERT_TRUE(std::holds_alternative<std::vector<std::string>>(read)) << c.json;
      EXPECT_EQ(std::get<std::vector<std::string>>(read), c.messages) << c.json;
    }
  }
}

struct ByteCountCase {
  const char* literal;
  std::optional<uint64_t> bytes;
};

TEST(Roster, WholeByteCountsByKind) {
  const ByteCountCase cases[] = {
      {"0", 0},
      {"10", 10},
      {"18446744073709551615", UINT64_MAX},
      {"-0", 0},
      {"-0.0", 0},
      {"2.0", 2},
      {"1e3", 1000},
      {"1000.0", 1000},
      {"1e20", UINT64_MAX},
      {"18446744073709551616", UINT64_MAX},               // held as a double
      {"18446744073709549568.0", 18446744073709549568u},  // the largest double below 2^64
      {"2.5", std::nullopt},
      {"-0.5", std::nullopt},
      {"-3", std::nullopt},
      {"-1e30", std::nullopt},
      {"true", std::nullopt},
      {"\"5\"", std::nullopt},
      {"null", std::nullopt},
  };
  for (const ByteCountCase& c : cases) {
    EXPECT_EQ(whole_byte_count(JsonValue::parse(c.literal)), c.bytes) << c.literal;
    // The same literal as an entry's weights, read from its events.
    const std::string entry = std::string(R"([{"model": "m", "weightsBytes": )") + c.literal + "}]";
    const RosterRead read = declared(entry.c_str());
    if (c.bytes) {
      ASSERT_TRUE(std::holds_alternative<Roster>(read)) << c.literal;
      EXPECT_EQ(std::get<Roster>(read).at(0).weights_bytes, *c.bytes) << c.literal;
    } else {
      EXPECT_TRUE(std::holds_alternative<std::vector<std::string>>(read)) << c.literal;
    }
  }
}

TEST(Roster, ReadsFieldsUnderEitherSpelling) {
  const auto read = declared(R"([
    {"model": "a", "weights_bytes": 10},
    {"model": " a ", "weightsBytes": 1, "kv_bytes": 2, "other": {"ignored": true}},
    {"model": "a", "weightsBytes": 3, "kvBytes": null, "kv_bytes": 9},
    {"model": "a", "weights_bytes": 4, "kvBytes": 5, "kv_bytes": 9}
  ])");
  ASSERT_TRUE(std::holds_alternative<Roster>(read));
  const Roster expected = {{"a", 10, 0}, {" a ", 1, 2}, {"a", 3, 0}, {"a", 4, 5}};
  EXPECT_EQ(std::get<Roster>(read), expected);
}

// Read from events, an entry is what lies between its brackets: nothing of
// one entry, nested member or repeated key may leak into another reading.
TEST(Roster, EachEntryIsReadApartFromWhatSurroundsIt) {
  const std::string long_name(40, 'n');
  const std::string many = R"([{"model": ")" + long_name + R"(", "weightsBytes": 1},
      {"model": "b", "weightsBytes": 2, "kvBytes": 3}, {"model": ")" +
                           long_name + R"(x",
      "weights_bytes": 4}])";
  const RosterCase cases[] = {
      {R"({"r": [{"model": "a", "weightsBytes": 1}]})", {"expected an array of declared models"}},
      {R"([[{"model": "a", "weightsBytes": 1}]])", {R"(entry 0: missing "model")"}},
      {R"([{"x": {"model": "a", "weightsBytes": 1}}])", {R"(entry 0: missing "model")"}},
      {R"([{"model": "a", "weightsBytes": 1, "x": {"model": "", "weightsBytes": "bad"}}])", {}},
      {R"([{"model": "a", "weightsBytes": 1, "x": [{"kvBytes": true}]}])", {}},
      // The last of repeated keys counts, whatever the earlier ones held.
      {R"([{"model": "a", "model": 5, "weightsBytes": 1}])", {R"(entry 0: missing "model")"}},
      {R"([{"model": 5, "model": "a", "weightsBytes": 1}])", {}},
      {R"([{"model": "a", "weightsBytes": 1, "weightsBytes": [1]}])",
       {R"(entry 0: a: "weightsBytes" missing or not a whole byte count)"}},
      {R"([{"model": "a", "weightsBytes": {}, "weightsBytes": 1}])", {}},
      // A name is never carried over to the next entry.
      {R"([{"model": "a", "weightsBytes": "x"}, {"weightsBytes": 1}, {"model": "", "x": 1}])",
       {R"(entry 0: a: "weightsBytes" missing or not a whole byte count)",
        R"(entry 1: missing "model")", R"(entry 2: "model" is empty)"}},
      {R"([{"model": "a", "weightsBytes": 1}, 7, {"model": "c", "weightsBytes": 1}])",
       {R"(entry 1: missing "model")"}},
      {many.c_str(), {}},
  };
  for (const RosterCase& c : cases) {
    const RosterRead read = declared(c.json);
    if (c.messages.empty()) {
      EXPECT_TRUE(std::holds_alternative<Roster>(read)) << c.json;
    } else {
      ASSERT_TRUE(std::holds_alternative<std::vector<std::string>>(read)) << c.json;
      EXPECT_EQ(std::get<std::vector<std::string>>(read), c.messages) << c.json;
    }
  }
  const Roster expected = {{long_name, 1, 0}, {"b", 2, 3}, {long_name + "x", 4, 0}};
  EXPECT_EQ(std::get<Roster>(declared(many.c_str())), expected);
}

Roster example_roster() {
  return {{"a", 14 * GiB, 2 * GiB}, {"b", 8 * GiB, 0}, {"c", GiB, 512 * MiB}};
}

TEST(Plan, ExampleCardAdmitsAroundTheModelThatDoesNotFit) {
  const Plan result = plan(Budget::with_reserve_pct(24 * GiB, 10), example_roster());
  EXPECT_EQ(result.admitted, (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(result.rejected, (std::vector<Rejection>{{"b", 8589934592, 6012954222}}));
  EXPECT_EQ(result.committed_bytes, 18790481920u);
  EXPECT_EQ(result.usable_bytes, 23192823406u);
  EXPECT_EQ(result.explain(),
            "2 of 3 admitted, 17.5 GiB committed of 21.6 GiB usable\n"
            "  REJECTED b \u2014 needs 8.0 GiB, 5.6 GiB free, short by 2.4 GiB");
}

struct PlanCase {
  const char* name;
  Budget budget;
  Roster roster;
  std::vector<std::string> admitted;
  std::vector<Rejection> rejected;
  uint64_t committed;
};

TEST(Plan, GreedyInRosterOrder) {
  const Budget ten{10 + GiB, GiB};  // 10 usable bytes
  const Budget none{GiB, GiB};
  const PlanCase cases[] = {
      {"empty roster", ten, {}, {}, {}, 0},
      {"exact fit leaves nothing", ten, {{"a", 6, 4}, {"b", 1, 0}}, {"a"}, {{"b", 1, 0}}, 10},
      {"smaller model after a rejection",
       ten,
       {{"a", 8, 0}, {"b", 5, 0}, {"c", 2, 0}},
       {"a", "c"},
       {{"b", 5, 2}},
       10},
      {"nothing usable",
       none,
       {{"a", 1, 0}, {"z", 0, 0}, {"b", 0, 1}},
       {"z"},
       {{"a", 1, 0}, {"b", 1, 0}},
       0},
      {"need saturates", ten, {{"huge", UINT64_MAX, 5}}, {}, {{"huge", UINT64_MAX, 10}}, 0},
      {"duplicates planned apart", ten, {{"d", 6, 0}, {"d", 6, 0}}, {"d"}, {{"d", 6, 4}}, 6},
  };
  for (const PlanCase& c : cases) {
    const Plan result = plan(c.budget, c.roster);
    EXPECT_EQ(result.admitted, c.admitted) << c.name;
    EXPECT_EQ(result.rejected, c.rejected) << c.name;
    EXPECT_EQ(result.committed_bytes, c.committed) << c.name;
    EXPECT_EQ(result.admitted.size() + result.rejected.size(), c.roster.size()) << c.name;
  }
}

TEST(Plan, ExplainsAnEmptyRosterInOneLine) {
  EXPECT_EQ(plan(Budget::with_reserve_pct(0, 0), {}).explain(),
            "0 of 0 admitted, 0.0 GiB committed of 0.0 GiB usable");
}

TEST(Plan, ExplainShowsNamesAsDeclaredAndTheShortfallInWholeBytes) {
  const Plan result = plan(Budget{GiB + GiB / 2, GiB}, {{"\"q\" \u00e9", GiB, 0}});
  EXPECT_EQ(result.explain(),
            "0 of 1 admitted, 0.0 GiB committed of 0.5 GiB usable\n"
            "  REJECTED \"q\" \u00e9 \u2014 needs 1.0 GiB, 0.5 GiB free, short by 0.5 GiB");
}

TEST(Plan, ExplainListsEveryRejectionOnItsOwnLine) {
  const Plan result =
      plan(Budget{3 * GiB, GiB}, {{"a", 3 * GiB, 0}, {"b", GiB, 0}, {"c", 2 * GiB, 0}});
  EXPECT_EQ(result.explain(),
            "1 of 3 admitted, 1.0 GiB committed of 2.0 GiB usable\n"
            "  REJECTED a \u2014 needs 3.0 GiB, 2.0 GiB free, short by 1.0 GiB\n"
            "  REJECTED c \u2014 needs 2.0 GiB, 1.0 GiB free, short by 1.0 GiB");
}

struct GibCase {
  uint64_t bytes;
  const char* text;
};

TEST(Gib, OneDecimalTiesToEven) {
  const GibCase cases[] = {
      {0, "0.0"},
      {268435456, "0.2"},  // 0.25
      {805306368, "0.8"},  // 0.75
      {GiB + GiB / 2, "1.5"},
      {GiB * 5 / 2, "2.5"},
      {2684354560 + 268435456, "2.8"},  // 2.75
      {3489660928, "3.2"},              // 3.25
      {107374183, "0.1"},               // just above 0.1 after rounding the double
      {53687091, "0.0"},                // just below 0.05
      {53687092, "0.1"},                // just above 0.05
      {4831838208, "4.5"},
      {UINT64_MAX, "17179869184.0"},
  };
  for (const GibCase& c : cases)
    EXPECT_EQ(format_gib(c.bytes), c.text) << c.bytes;
}

// The library's correctly rounded formatting of the double is the reference.
std::string gib_by_library(uint64_t bytes) {
  char buffer[32];
  const double gib = static_cast<double>(bytes) * 0x1p-30;
  const auto written =
      std::to_chars(buffer, buffer + sizeof buffer, gib, std::chars_format::fixed, 1);
  return std::string(buffer, written.ptr);
}

TEST(Gib, AgreesWithFormattingTheDouble) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 200000; ++i) {
    const uint64_t bytes = random() >> (random() % 64);
    ASSERT_EQ(format_gib(bytes), gib_by_library(bytes)) << bytes;
  }
  // Whole bytes tie only at odd quarters of a GiB (x.25, x.75); check them
  // and the bytes either side, small and past the double's 53 bits.
  for (uint64_t quarter = 1; quarter < 400; quarter += 2) {
    const uint64_t tie = (quarter << 28) << (quarter % 3 == 0 ? 25 : 0);
    for (const uint64_t bytes : {tie - 1, tie, tie + 1}) {
      ASSERT_EQ(format_gib(bytes), gib_by_library(bytes)) << bytes;
    }
  }
  // Below 2^53 the count is used as it is; from there on the double rounds.
  constexpr uint64_t kExactLimit = uint64_t{1} << 53;
  for (const uint64_t bytes : {kExactLimit - 1, kExactLimit, kExactLimit + 1, kExactLimit + 3,
                               UINT64_MAX, UINT64_MAX - 1024, uint64_t{1} << 63}) {
    EXPECT_EQ(format_gib(bytes), gib_by_library(bytes)) << bytes;
  }
}

TEST(Decimal, AgreesWithTheLibrary) {
  // Every digit count, at and either side of each power of ten, and at
  // random; each written into a buffer of exactly its digits.
  std::vector<uint64_t> values = {0, UINT64_MAX};
  for (uint64_t power = 1; power <= UINT64_MAX / 10; power *= 10) {
    for (const uint64_t value : {power - 1, power, power + 1, 10 * power - 1})
      values.push_back(value);
  }
  std::mt19937_64 random(11);
  for (int i = 0; i < 100000; ++i)
    values.push_back(random() >> (random() % 64));
  for (const uint64_t value : values) {
    const std::string expected = std::to_string(value);
    std::string written(expected.size(), '#');
    const char* end = write_decimal(written.data(), value);
    ASSERT_EQ(end - written.data(), static_cast<ptrdiff_t>(expected.size())) << value;
    ASSERT_EQ(written, expected);
  }
}

}  // namespace
}  // namespace garnel
