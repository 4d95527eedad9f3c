#include "json_text.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace garnel {
namespace {

std::string nested(int levels, const char* inner = "") {
  return std::string(levels, '[') + inner + std::string(levels, ']');
}

// A fault's message, or "" when the text parsed.
std::string fault_of(std::string_view text) {
  auto parsed = parse_json(text);
  if (auto* message = std::get_if<std::string>(&parsed)) return *message;
  return "";
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
      {"\n" + nested(130), " at line 2 column 128"},
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
