#include "json_text.h"

#include <gtest/gtest.h>

#include <random>

#include <nlohmann/json.hpp>

#include "json_tree.h"
#include "route_text.h"

namespace garnel {
namespace {

std::string nested(int levels, const char* inner = "") {
  return std::string(levels, '[') + inner + std::string(levels, ']');
}

// A fault's message, or "" when the text parsed. Every way in must see the
// same fault: the roster and the detail readers, and the tree, the oracle.
std::string fault_of(std::string_view text) {
  auto parsed = parse_json(text);
  const auto* message = std::get_if<std::string>(&parsed);
  const std::string tree = message != nullptr ? *message : "";
  const auto roster = read_roster(text);
  const auto* roster_fault = std::get_if<JsonFault>(&roster);
  EXPECT_EQ(roster_fault != nullptr ? roster_fault->message : "", tree) << text;
  for (const char* kind : {"probe_ok", "no such kind"}) {
    const auto observation = read_observation(kind, text);
    const auto* detail_fault = std::get_if<JsonFault>(&observation);
    EXPECT_EQ(detail_fault != nullptr ? detail_fault->message : "", tree) << kind << " " << text;
  }
  return tree;
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

struct FaultCase {
  std::string text;
  std::string position;  // how the message must end
};

TEST(ParseJson, FaultsEndWithTheirLineAndColumn) {
  const FaultCase cases[] = {
      {"", " at line 1 column 0"},
      {"   ", " at line 1 column 3"},
      {"[1,]", " at line 1 column 4"},
      {"{\"a\":1}x", " at line 1 column 8"},
      {"1 2", " at line 1 column 3"},
      {"[1,\n", " at line 2 column 0"},
      {"[\n  tru]", " at line 2 column 6"},
      {"1e400", " at line 1 column 5"},
      {"-1e400", " at line 1 column 6"},
      {std::string("1\0", 2), " at line 1 column 2"},
      {std::string("[1, \0 2]", 8), " at line 1 column 5"},
      {std::string("[1 x\0", 5), " at line 1 column 4"},  // the earlier fault is reported
      {std::string("\"a\0\"", 4), " at line 1 column 3"},
      {"\xEF\xBB\xBF{}", " at line 1 column 1"},
      {nested(128), " at line 1 column 128"},
      {std::string("\n") + nested(130), " at line 2 column 128"},
      {"[\"[[[[\"," + nested(127) + "]", " at line 1 column 135"},
      {"\"\\ud800\"", ""},
  };
  for (const FaultCase& c : cases) {
    const std::string message = fault_of(c.text);
    ASSERT_EQ(message.rfind("bad json: ", 0), 0u) << c.text;
    EXPECT_TRUE(ends_with(message, c.position)) << c.text << " -> " << message;
    EXPECT_EQ(message.find("[json.exception"), std::string::npos) << message;
  }
}

TEST(ParseJson, AnEmptyTextEndsBeforeItsValueLikeABlankOne) {
  EXPECT_EQ(fault_of(""),
            "bad json: syntax error while parsing value - unexpected end of input; expected '[', "
            "'{', or a literal at line 1 column 0");
  EXPECT_EQ(fault_of(" ").substr(0, 80), fault_of("").substr(0, 80));
}

TEST(ParseJson, NestingBelowTheLimitIsAccepted) {
  EXPECT_EQ(fault_of(nested(127)), "");
  EXPECT_EQ(fault_of("[{\"a\":" + nested(125) + "}]"), "");
  EXPECT_NE(fault_of("[{\"a\":" + nested(126) + "}]"), "");
}

TEST(ParseJson, KeepsNumberKindsAndTheLastRepeatedKey) {
  const auto parsed = parse_json(
      " \t\r\n{\"u\": 18446744073709551615, \"i\": -9223372036854775808, \"big\": "
      "18446744073709551616,"
      " \"f\": 1.5, \"k\": 1, \"k\": [2]} \n");
  ASSERT_TRUE(std::holds_alternative<JsonValue>(parsed));
  const JsonValue& v = std::get<JsonValue>(parsed);
  EXPECT_TRUE(v["u"].is_number_unsigned());
  EXPECT_EQ(v["u"].get<uint64_t>(), UINT64_MAX);
  EXPECT_TRUE(v["i"].is_number_integer() && !v["i"].is_number_unsigned());
  EXPECT_TRUE(v["big"].is_number_float());
  EXPECT_TRUE(v["f"].is_number_float());
  EXPECT_EQ(v["k"], JsonValue::array({2}));
  EXPECT_EQ(
      write_json(v),
      R"({"big":1.8446744073709552e+19,"f":1.5,"i":-9223372036854775808,"k":[2],"u":18446744073709551615})");
}

TEST(ReadJson, AFaultInTheTextComesBeforeAnyInTheRoster) {
  // Bad entries first, then a fault further on; then the NUL byte after a
  // roster that would be refused.
  const auto cut = read_roster(R"([5, {"model": ""}, {"model": "a", "weightsBytes": 1}, x])");
  ASSERT_TRUE(std::holds_alternative<JsonFault>(cut));
  EXPECT_EQ(std::get<JsonFault>(cut).message.rfind("bad json: syntax error", 0), 0u);
  const auto nul = read_roster(std::string("{}\0", 3));
  ASSERT_TRUE(std::holds_alternative<JsonFault>(nul));
  EXPECT_EQ(std::get<JsonFault>(nul).message, "bad json: unexpected NUL byte at line 1 column 3");
  const auto both = read_observation("bogus", "{");
  ASSERT_TRUE(std::holds_alternative<JsonFault>(both));
  EXPECT_EQ(std::get<JsonFault>(both).message.rfind("bad json: ", 0), 0u);
}

TEST(ParseJson, MessagesStayValidUtf8WhenTheInputIsCut) {
  // The library quotes the bytes it read; here it stops inside a character.
  const std::string message = fault_of("[\xC3");
  EXPECT_EQ(valid_utf8(message), message);
  EXPECT_EQ(fault_of("\"\xE2\x82\""), valid_utf8(fault_of("\"\xE2\x82\"")));
}

TEST(WriteJson, EscapesOnlyWhatItMust) {
  const JsonValue v = {{"s", "\"\\/\b\f\n\r\t\x01\x1f\x7f\u00e9\u2014"}};
  EXPECT_EQ(write_json(v), "{\"s\":\"\\\"\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\u00e9\u2014\"}");
}

TEST(WriteJson, FindsEveryByteToEscapeWhereverItStands) {
  // Strings are checked eight bytes at a time; every ASCII byte at every
  // position of a word, of the tail, and beside multi-byte characters.
  for (const std::string filler : {"a", "\u00e9", "\U0001F600"}) {
    for (size_t length = 1; length <= 19; ++length) {
      for (size_t position = 0; position < length; ++position) {
        for (int byte = 0; byte < 0x80; ++byte) {
          std::string text;
          for (size_t i = 0; i < length; ++i)
            text += i == position ? std::string(1, static_cast<char>(byte)) : filler;
          const std::string expected = R"({"model":)" + write_json(JsonValue(text)) +
                                       R"(,"operator_fault":false,"ready":false,)"
                                       R"("route":"not_declared","try_elsewhere":true})";
          ASSERT_EQ(write_route(RouteNotDeclared{text}), expected)
              << length << " " << position << " " << byte;
        }
      }
    }
  }
}

struct Utf8Case {
  std::string bytes;
  std::string repaired;
};

TEST(ValidUtf8, ReplacesEveryStrayByte) {
  const Utf8Case cases[] = {
      {"plain", "plain"},
      {"\u00e9\u2014\U0001F600", "\u00e9\u2014\U0001F600"},
      {"a\xC3", "a\uFFFD"},
      {"\xE2\x82z", "\uFFFD\uFFFDz"},
      {"\xC0\xAF", "\uFFFD\uFFFD"},                      // overlong
      {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},            // a surrogate
      {"\xF4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
      {"\xFF", "\uFFFD"},
  };
  for (const Utf8Case& c : cases)
    EXPECT_EQ(valid_utf8(c.bytes), c.repaired) << c.bytes;
}

}  // namespace
}  // namespace garnel

namespace garnel {
namespace {

// Random valid UTF-8, heavy on the characters that need escaping.
std::string odd_text(std::mt19937_64& random) {
  static const std::vector<std::string> pieces = {
      "a",    "Z",      " ",    "\"",     "\\",     "/",
      "\b",   "\f",     "\n",   "\r",     "\t",     std::string(1, '\0'),
      "\x01", "\x1f",   "\x7f", "\u00e9", "\u2014", "\U0001F600",
      "{}",   "\u0301", "model"};
  std::string text;
  const size_t length = random() % 12;
  for (size_t i = 0; i < length; ++i)
    text += pieces[random() % pieces.size()];
  return text;
}

Route random_route(std::mt19937_64& random) {
  std::string model = odd_text(random);
  const uint64_t number = random() % 3 == 0 ? UINT64_MAX - random() % 3 : random() % 100000;
  switch (random() % 7) {
    case 0:
      return RouteReady{model, odd_text(random)};
    case 1:
      return RouteWarming{model, number};
    case 2: {
      const auto reason = static_cast<LostReason>(random() % 4);
      return RouteLost{model, reason, lost_reason_is_operator_fault(reason)};
    }
    case 3:
      return RouteFailed{model, odd_text(random)};
    case 4:
      return RouteNotAdmitted{model, number};
    case 5:
      return RouteNotDeclared{model};
    default:
      return RouteUnknown{model};
  }
}

TEST(WriteRoute, IsTheLibrarysWritingByteForByte) {
  std::mt19937_64 random(20261209);
  for (int i = 0; i < 20000; ++i) {
    const Route route = random_route(random);
    ASSERT_EQ(write_route(route), route_text_by_library(route)) << i;
  }
}

// A plan of random names and byte counts, as plan() could never make it:
// the writer must not care.
Plan random_plan(std::mt19937_64& random) {
  Plan result;
  const auto bytes = [&] { return random() % 3 == 0 ? UINT64_MAX - random() % 3 : random(); };
  for (size_t i = random() % 5; i > 0; --i)
    result.admitted.push_back(odd_text(random));
  for (size_t i = random() % 5; i > 0; --i)
    result.rejected.push_back(Rejection{odd_text(random), bytes(), bytes()});
  result.committed_bytes = bytes();
  result.usable_bytes = bytes();
  return result;
}

TEST(WritePlan, IsTheLibrarysWritingByteForByte) {
  std::mt19937_64 random(20261210);
  for (int i = 0; i < 5000; ++i) {
    const Plan result = random_plan(random);
    const size_t declared = i % 7 == 0 ? SIZE_MAX : result.admitted.size() + result.rejected.size();
    const std::string expected = write_json(plan_json(result, declared));
    ASSERT_EQ(write_plan(result, declared), expected) << i;
    // Into a buffer: the bound it asks for always holds the text.
    const std::string explain = result.explain();
    std::string buffer(8, '#');
    const size_t bound = write_plan(result, explain, declared, buffer.data(), buffer.size());
    ASSERT_GT(bound, buffer.size());
    EXPECT_EQ(buffer, "########");
    buffer.assign(bound, '#');
    const size_t length = write_plan(result, explain, declared, buffer.data(), buffer.size());
    ASSERT_LE(length, bound);
    EXPECT_EQ(buffer.substr(0, length), expected) << i;
  }
}

TEST(WritePlan, TheExampleCard) {
  constexpr uint64_t GiB = uint64_t{1} << 30;
  const Roster roster = {{"a", 14 * GiB, 2 * GiB}, {"b", 8 * GiB, 0}, {"c", GiB, GiB / 2}};
  const Plan result = plan(Budget::with_reserve_pct(24 * GiB, 10), roster);
  EXPECT_EQ(
      write_plan(result, roster.size()),
      R"({"admitted":["a","c"],"committed_bytes":18790481920,"declared":3,"explain":"2 of 3 )"
      R"(admitted, 17.5 GiB committed of 21.6 GiB usable\n  REJECTED b )"
      "\u2014"
      R"( needs 8.0 GiB, )"
      R"(5.6 GiB free, short by 2.4 GiB","fits":false,"headroom_bytes":4402341486,"rejected":)"
      R"([{"free_bytes":6012954222,"model":"b","needed_bytes":8589934592,"short_bytes":)"
      R"(2576980370}],"usable_bytes":23192823406})");
  EXPECT_EQ(
      write_plan(plan(Budget{0, 0}, {}), 0),
      R"({"admitted":[],"committed_bytes":0,"declared":0,"explain":"0 of 0 admitted, 0.0 GiB )"
      R"(committed of 0.0 GiB usable","fits":true,"headroom_bytes":0,"rejected":[],)"
      R"("usable_bytes":0})");
}

TEST(WriteRoute, EveryKindOnce) {
  EXPECT_EQ(
      write_route(RouteLost{"m1", LostReason::kGpuDetached, false}),
      R"({"model":"m1","operator_fault":false,"ready":false,"reason":"gpu_detached","route":"lost","try_elsewhere":true})");
  EXPECT_EQ(
      write_route(RouteFailed{"m1", "out of memory"}),
      R"({"model":"m1","operator_fault":true,"ready":false,"reason":"out of memory","route":"failed","try_elsewhere":true})");
}

}  // namespace
}  // namespace garnel
