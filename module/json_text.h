// JSON text in and out for the extension module.
//
// parse_json() turns the caller's text into the core's JsonValue with the
// module's rules (one value, JSON whitespace around it, fewer than 128 levels
// of nesting, no NUL byte and no byte-order mark, the last of repeated keys
// kept); write_json() writes a value in the module's one text form. Neither
// touches the interpreter, so both are tested and fuzzed without one.

#ifndef GARNEL_MODULE_JSON_TEXT_H_
#define GARNEL_MODULE_JSON_TEXT_H_

#include <string>
#include <string_view>
#include <variant>

#include "budget.h"
#include "fleet.h"

namespace garnel {

// Arrays and objects this deep or deeper are refused.
inline constexpr int kMaxJsonDepth = 128;

// Parses exactly one JSON value. On a fault, gives the whole message the
// caller raises: "bad json: " and what went wrong, ending with
// "at line L column C". The message is always valid UTF-8, even when the
// input it quotes was cut in the middle of a character.
std::variant<JsonValue, std::string> parse_json(std::string_view text);

// Writes a value compactly, keys in ascending byte order, with only the
// escapes the module promises (\" \\ \b \f \n \r \t and \u00xx, lower-case).
// REQUIRES: every string in value is valid UTF-8.
std::string write_json(const JsonValue& value);

// The route's JSON text as the module returns it: the route's own keys plus
// "ready", "try_elsewhere" and "operator_fault", keys in ascending byte order.
// Written directly, since a host asks for a route on every request; it is
// byte for byte what write_json makes of route_json() with the three flags.
std::string write_route(const Route& route);

// The same text written into buffer, without allocating. Gives its length;
// when the text might not fit in capacity bytes, writes nothing and gives a
// length above capacity (enough room for it).
size_t write_route(const Route& route, char* buffer, size_t capacity);

// Replaces every byte that does not belong to a valid UTF-8 sequence with
// U+FFFD, so the text can always be handed to the interpreter.
std::string valid_utf8(std::string_view bytes);

}  // namespace garnel

#endif  // GARNEL_MODULE_JSON_TEXT_H_
