// The tree-based JSON layer the module once used, kept as the oracle of the
// one it uses now: the text parsed into the library's value tree (the same
// refusals and fault messages), the roster and detail read from that tree,
// and the plan built as a tree and written by the library. Tests, fuzz
// targets and benchmarks link it; the module does not. The event readers
// and the direct plan writer of json_text.h must give exactly what this
// gives, on the same bytes.

#ifndef GARNEL_TESTS_ORACLE_JSON_TREE_H_
#define GARNEL_TESTS_ORACLE_JSON_TREE_H_

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "budget.h"
#include "residency.h"

namespace garnel {

// Parses exactly one JSON value into a tree. On a fault, gives the whole
// message the module raises: "bad json: " and what went wrong, ending with
// "at line L column C", in valid UTF-8.
std::variant<JsonValue, std::string> parse_json(std::string_view text);

// Writes a value compactly, keys in ascending byte order, with the library's
// escapes. REQUIRES: every string in value is valid UTF-8.
std::string write_json(const JsonValue& value);

// A JSON number read as a whole byte count, or nothing.
std::optional<uint64_t> whole_byte_count(const JsonValue& value);

// The member named `key` of an object, or nullptr.
const JsonValue* json_member(const JsonValue& object, std::string_view key);

// The member spelled `camel`, or only when that key is absent, `snake`.
const JsonValue* json_member(const JsonValue& object, std::string_view camel,
                             std::string_view snake);

// The roster read from a parsed value, or the messages of its bad entries.
std::variant<Roster, std::vector<std::string>> declared_from_json(const JsonValue& value);

// The observation named by `kind`, its fields read from a parsed detail.
std::optional<Observation> observation_from_json(std::string_view kind, const JsonValue& detail);

// The plan as a tree of its eight keys, the rejections with their shortfall.
JsonValue plan_json(const Plan& result, size_t declared);

}  // namespace garnel

#endif  // GARNEL_TESTS_ORACLE_JSON_TREE_H_
