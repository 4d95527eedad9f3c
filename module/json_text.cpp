#include "json_text.h"

#include <array>
#include <charconv>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace garnel {
namespace {

// Builds the value tree from the parser's events, counting depth as it goes:
// the library has no nesting limit of its own.
struct TreeBuilder {
  JsonValue root;
  // The containers still open, innermost last. The depth limit bounds them,
  // so they need no allocation of their own.
  std::array<JsonValue*, kMaxJsonDepth> open;
  size_t open_count = 0;
  std::string pending_key;  // the key of the next object member
  bool too_deep = false;
  bool failed = false;
  size_t fault_offset = 0;  // bytes read, the offending one included
  std::string fault;        // the library's description, without its prefixes

  // Stores v where the parser is and returns where it went.
  JsonValue* put(JsonValue&& v) {
    if (open_count == 0) {
      root = std::move(v);
      return &root;
    }
    JsonValue& container = *open[open_count - 1];
    if (container.is_array()) {
      container.push_back(std::move(v));
      return &container.back();
    }
    // Assigning replaces an earlier member of the same name: the last wins.
    JsonValue& slot = container[pending_key];
    slot = std::move(v);
    return &slot;
  }

  bool start(nlohmann::json::value_t type) {
    if (open_count + 1 >= static_cast<size_t>(kMaxJsonDepth)) {
      too_deep = true;
      return false;
    }
    JsonValue* container = put(JsonValue(type));
    open[open_count++] = container;
    return true;
  }

  bool null() { return put(JsonValue(nullptr)), true; }
  bool boolean(bool v) { return put(JsonValue(v)), true; }
  bool number_integer(int64_t v) { return put(JsonValue(v)), true; }
  bool number_unsigned(uint64_t v) { return put(JsonValue(v)), true; }
  bool number_float(double v, const std::string&) { return put(JsonValue(v)), true; }
  bool string(std::string& v) { return put(JsonValue(std::move(v))), true; }
  bool binary(nlohmann::json::binary_t&) { return false; }  // not produced for JSON text
  bool start_object(size_t) { return start(nlohmann::json::value_t::object); }
  bool start_array(size_t) { return start(nlohmann::json::value_t::array); }
  bool key(std::string& k) {
    pending_key = std::move(k);
    return true;
  }
  bool end_object() { return --open_count, true; }
  bool end_array() { return --open_count, true; }

  bool parse_error(size_t position, const std::string&, const nlohmann::json::exception& error) {
    failed = true;
    fault_offset = position;
    fault = error.what();
    // "[json.exception.parse_error.101] parse error at line 1, column 2: ..."
    // becomes "...": the position is written by us, at the end.
    if (fault.size() > 0 && fault[0] == '[') {
      const size_t close = fault.find("] ");
      if (close != std::string::npos) fault.erase(0, close + 2);
    }
    if (fault.rfind("parse error", 0) == 0) {
      const size_t colon = fault.find(": ");
      if (colon != std::string::npos) fault.erase(0, colon + 2);
    }
    // An empty text ends before its value just as a blank one does; say so
    // in the same words rather than the library's advice about streams.
    if (fault.rfind("attempting to parse an empty input", 0) == 0) {
      fault =
          "syntax error while parsing value - unexpected end of input; expected '[', '{', or a "
          "literal";
    }
    return false;
  }
};

// The offset just past the first bracket that opens the kMaxJsonDepth-th
// level. REQUIRES: the parser refused text for its depth, so such a bracket
// exists and everything before it is well-formed.
size_t too_deep_offset(std::string_view text) {
  int depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth >= kMaxJsonDepth) return i + 1;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return text.size();
}

// "bad json: {what} at line L column C", where the position is that of the
// last byte read (the offending one): lines count from 1, columns from 1,
// and column 0 means nothing was read on that line yet.
std::string bad_json(std::string_view text, std::string_view what, size_t bytes_read) {
  if (bytes_read > text.size()) bytes_read = text.size();  // end of input is no byte
  size_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < bytes_read; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  std::string message = "bad json: ";
  message += valid_utf8(what);
  message +=
      " at line " + std::to_string(line) + " column " + std::to_string(bytes_read - line_start);
  return message;
}

}  // namespace

std::variant<JsonValue, std::string> parse_json(std::string_view text) {
  // The library would skip a byte-order mark silently; JSON text has none.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    return bad_json(text, "unexpected byte-order mark", 1);
  }
  // The library takes a NUL byte for the end of its input; here it is a fault
  // wherever it stands, unless the text before it is already at fault.
  const size_t nul = text.find('\0');
  const std::string_view body = text.substr(0, nul);

  TreeBuilder builder;
  const bool parsed = nlohmann::json::sax_parse(body.begin(), body.end(), &builder);
  if (nul != std::string_view::npos &&
      (parsed || (!builder.too_deep && builder.fault_offset > body.size()))) {
    return bad_json(text, "unexpected NUL byte", nul + 1);
  }
  if (builder.too_deep) {
    return bad_json(text, "nesting of 128 levels or more", too_deep_offset(body));
  }
  if (!parsed || builder.failed) {
    return bad_json(text, builder.fault, builder.fault_offset);
  }
  return std::move(builder.root);
}

std::string write_json(const JsonValue& value) {
  return value.dump();
}

namespace {

// The bytes a JSON string cannot hold as they are: controls, '"' and '\\'.
constexpr std::array<bool, 256> kNeedsEscape = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 0x20; ++c)
    table[c] = true;
  table['"'] = table['\\'] = true;
  return table;
}();

// Copies text to `to` and tells whether it can stand in a JSON string as it
// is. Names and endpoints rarely need an escape, so the check rides along
// with the copy in one pass: from four bytes on it reads eight bytes at a
// time, the last word overlapping the one before it, and finds a byte below
// 0x20, '"' or '\\' in a word exactly by the usual borrow tricks.
// REQUIRES: `to` has room for text.size() bytes.
bool copy_if_plain(char* to, std::string_view text) {
  constexpr uint64_t kOnes = 0x0101010101010101;
  constexpr uint64_t kHighs = 0x8080808080808080;
  const auto special = [](uint64_t word) {
    const auto has_zero = [](uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    return ((word - kOnes * 0x20) & ~word & kHighs) | has_zero(word ^ (kOnes * '"')) |
           has_zero(word ^ (kOnes * '\\'));
  };
  const char* from = text.data();
  const size_t size = text.size();
  if (size < 4) {
    for (size_t i = 0; i < size; ++i) {
      if (kNeedsEscape[static_cast<unsigned char>(from[i])]) return false;
      to[i] = from[i];
    }
    return true;
  }
  if (size < 8) {  // two halves that overlap make the word
    uint32_t low;
    uint32_t high;
    std::memcpy(&low, from, sizeof low);
    std::memcpy(&high, from + size - sizeof high, sizeof high);
    std::memcpy(to, &low, sizeof low);
    std::memcpy(to + size - sizeof high, &high, sizeof high);
    return special(uint64_t{high} << 32 | low) == 0;
  }
  uint64_t found = 0;
  uint64_t word;
  for (size_t i = 0; i + 8 < size; i += 8) {
    std::memcpy(&word, from + i, sizeof word);
    std::memcpy(to + i, &word, sizeof word);
    found |= special(word);
  }
  std::memcpy(&word, from + size - 8, sizeof word);
  std::memcpy(to + size - 8, &word, sizeof word);
  return (found | special(word)) == 0;
}

// Writes into a buffer that route_bound() sized.
struct RawWriter {
  char* at;
  void put(std::string_view text) {
    std::memcpy(at, text.data(), text.size());
    at += text.size();
  }
  void put(char c) { *at++ = c; }
  // Named apart from put(): a string literal would convert to bool first.
  void put_bool(bool value) {
    if (value) {
      put("true");
    } else {
      put("false");
    }
  }
  void put_u64(uint64_t value) { at = std::to_chars(at, at + 20, value).ptr; }

  // text as a JSON string, quoted and escaped.
  void put_string(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    put('"');
    if (copy_if_plain(at, text)) {
      at += text.size();
      put('"');
      return;
    }
    size_t plain_from = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (!kNeedsEscape[c]) continue;
      put(text.substr(plain_from, i - plain_from));
      plain_from = i + 1;
      switch (c) {
        case '"':
          put("\\\"");
          break;
        case '\\':
          put("\\\\");
          break;
        case '\b':
          put("\\b");
          break;
        case '\f':
          put("\\f");
          break;
        case '\n':
          put("\\n");
          break;
        case '\r':
          put("\\r");
          break;
        case '\t':
          put("\\t");
          break;
        default: {
          const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
          put(std::string_view(escape, sizeof escape));
        }
      }
    }
    put(text.substr(plain_from));
    put('"');
  }
};

// Room enough for a route's text: the fixed keys and values, 20 digits, and
// every byte of every string escaped to its longest form (\u00xx).
template <typename Kind>
size_t route_bound(const Kind& route) {
  size_t strings = route.model.size();
  if constexpr (std::is_same_v<Kind, RouteReady>) strings += route.endpoint.size();
  if constexpr (std::is_same_v<Kind, RouteFailed>) strings += route.reason.size();
  return 160 + 6 * strings;
}

// Each kind writes its keys in ascending byte order: endpoint, for_ms, model,
// operator_fault, ready, reason, route, short_bytes, try_elsewhere.
// REQUIRES: buffer holds route_bound(route) bytes.
template <typename Kind>
char* put_route(char* buffer, const Kind& route) {
  RawWriter out{buffer};
  constexpr std::string_view kTag = kRouteTag<Kind>;
  const RouteFlags flags = route_flags(route);
  out.put('{');
  if constexpr (std::is_same_v<Kind, RouteReady>) {
    out.put("\"endpoint\":");
    out.put_string(route.endpoint);
    out.put(',');
  } else if constexpr (std::is_same_v<Kind, RouteWarming>) {
    out.put("\"for_ms\":");
    out.put_u64(route.for_ms);
    out.put(',');
  }
  out.put("\"model\":");
  out.put_string(route.model);
  out.put(",\"operator_fault\":");
  out.put_bool(flags.operator_fault);
  out.put(",\"ready\":");
  out.put_bool(flags.ready);
  if constexpr (std::is_same_v<Kind, RouteLost>) {
    out.put(",\"reason\":");
    out.put_string(lost_reason_json_name(route.reason));
  } else if constexpr (std::is_same_v<Kind, RouteFailed>) {
    out.put(",\"reason\":");
    out.put_string(route.reason);
  }
  out.put(",\"route\":\"");
  out.put(kTag);
  out.put('"');
  if constexpr (std::is_same_v<Kind, RouteNotAdmitted>) {
    out.put(",\"short_bytes\":");
    out.put_u64(route.short_bytes);
  }
  out.put(",\"try_elsewhere\":");
  out.put_bool(flags.try_elsewhere);
  out.put('}');
  return out.at;
}

}  // namespace

std::string write_route(const Route& route) {
  return std::visit(
      [](const auto& kind) {
        std::string out(route_bound(kind), '\0');
        out.resize(static_cast<size_t>(put_route(out.data(), kind) - out.data()));
        return out;
      },
      route);
}

// One visit for the bound and the writing: a host asks for a route per request.
size_t write_route(const Route& route, char* buffer, size_t capacity) {
  return std::visit(
      [&](const auto& kind) {
        const size_t bound = route_bound(kind);
        if (bound > capacity) return bound;
        return static_cast<size_t>(put_route(buffer, kind) - buffer);
      },
      route);
}

std::string valid_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    size_t length = 0;
    uint32_t min = 0;
    if (lead < 0x80) {
      out += static_cast<char>(lead);
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, min = 0x10000;
    }
    bool valid = length != 0 && i + length <= bytes.size();
    uint32_t code = valid ? lead & (0xFF >> (length + 1)) : 0;
    for (size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    valid = valid && code >= min && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
    if (valid) {
      out.append(bytes.substr(i, length));
      i += length;
    } else {
      out += "\uFFFD";
      ++i;
    }
  }
  return out;
}

}  // namespace garnel
