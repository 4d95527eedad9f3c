// JSON text in and out for the extension module.
//
// The roster and an observation's detail are read straight from the JSON
// library's parser events (its SAX interface) by the core's readers, with no
// value tree, under the module's rules for the text: one value, JSON
// whitespace around it, fewer than 128 levels of nesting, no NUL byte and no
// byte-order mark. Routes and plans are written directly into one buffer,
// byte for byte as the library would write the same object. Nothing here
// touches the interpreter, so all of it is tested and fuzzed without one.

#ifndef GARNEL_MODULE_JSON_TEXT_H_
#define GARNEL_MODULE_JSON_TEXT_H_

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "budget.h"
#include "fleet.h"
#include "residency.h"

namespace garnel {

// Arrays and objects this deep or deeper are refused.
inline constexpr int kMaxJsonDepth = 128;

// A text that is not JSON: the whole message the caller raises, "bad json: "
// and what went wrong, ending with "at line L column C". The message is
// always valid UTF-8, even when the input it quotes was cut in the middle of
// a character.
struct JsonFault {
  std::string message;
  bool operator==(const JsonFault&) const = default;
};

// Reads the roster in text: the roster, the complaints of DeclaredReader, or
// the text's fault. A fault in the text is reported before, and instead of,
// any complaint about the roster.
std::variant<Roster, std::vector<std::string>, JsonFault> read_roster(std::string_view text);

// The kind of an observation is none of the accepted names.
struct UnknownKind {
  bool operator==(const UnknownKind&) const = default;
};

// Reads an observation of the kind named `kind` from its detail text. The
// detail's fault comes before an unknown kind: a call with both wrong
// reports the JSON.
std::variant<Observation, UnknownKind, JsonFault> read_observation(std::string_view kind,
                                                                   std::string_view detail);

// The route's JSON text as the module returns it: the route's own keys plus
// "ready", "try_elsewhere" and "operator_fault", keys in ascending byte order.
// Written directly, since a host asks for a route on every request; it is
// byte for byte what the library writes of route_json() with the three flags.
std::string write_route(const Route& route);

// The same text written into buffer, without allocating. Gives its length;
// when the text might not fit in capacity bytes, writes nothing and gives a
// length above capacity (enough room for it).
size_t write_route(const Route& route, char* buffer, size_t capacity);

// The same for a route that views its texts where they are, as the module
// writes it: no text is copied on the way.
size_t write_route(const RouteView& route, char* buffer, size_t capacity);

// The plan's JSON text as the module returns it, byte for byte what the
// library writes of the plan's eight keys: "admitted", "committed_bytes",
// "declared" (the roster's length), "explain" (plan.explain(), passed in),
// "fits", "headroom_bytes", "rejected" (each with "free_bytes", "model",
// "needed_bytes" and "short_bytes") and "usable_bytes". Written into buffer,
// without allocating; gives its length, or when the text might not fit in
// capacity bytes, writes nothing and gives a length above capacity (enough
// room for it).
size_t write_plan(const Plan& plan, std::string_view explain, size_t declared, char* buffer,
                  size_t capacity);

// The same text as a string.
std::string write_plan(const Plan& plan, size_t declared);

// The parts of a "bad json" message, shared with the tree-based reader the
// tests keep as an oracle.
//
// The library's description of a parse error, without its
// "[json.exception…]" and "parse error at …: " prefixes.
std::string parse_error_description(std::string_view what);

// The offset just past the first bracket that opens the kMaxJsonDepth-th
// level. REQUIRES: the parser refused text for its depth, so such a bracket
// exists and everything before it is well-formed.
size_t too_deep_offset(std::string_view text);

// "bad json: {what} at line L column C", where the position is that of the
// last byte read (the offending one): lines count from 1, columns from 1,
// and column 0 means nothing was read on that line yet.
std::string bad_json(std::string_view text, std::string_view what, size_t bytes_read);

// Replaces every byte that does not belong to a valid UTF-8 sequence with
// U+FFFD, so the text can always be handed to the interpreter.
std::string valid_utf8(std::string_view bytes);

}  // namespace garnel

#endif  // GARNEL_MODULE_JSON_TEXT_H_
