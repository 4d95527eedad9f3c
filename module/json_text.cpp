#include "json_text.h"

#include <array>
#include <charconv>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace garnel {

std::string parse_error_description(std::string_view what) {
  std::string fault(what);
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
  return fault;
}

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

namespace {

// Hands the parser's events to a reader, counting depth as they come: the
// library has no nesting limit of its own. Keeps the library's description
// of a fault for the message.
template <typename Reader>
struct EventPass {
  explicit EventPass(Reader& to) : reader(to) {}

  Reader& reader;
  int depth = 0;
  bool too_deep = false;
  bool failed = false;
  size_t fault_offset = 0;  // bytes read, the offending one included
  std::string fault;        // the library's description, without its prefixes

  bool start() {
    if (++depth >= kMaxJsonDepth) {
      too_deep = true;
      return false;
    }
    return true;
  }

  bool null() { return reader.scalar(MemberValue::of(MemberValue::Kind::kNull)), true; }
  bool boolean(bool v) { return reader.scalar(MemberValue::of_boolean(v)), true; }
  bool number_integer(int64_t v) { return reader.scalar(MemberValue::of_signed(v)), true; }
  bool number_unsigned(uint64_t v) { return reader.scalar(MemberValue::of_unsigned(v)), true; }
  bool number_float(double v, const std::string&) {
    return reader.scalar(MemberValue::of_float(v)), true;
  }
  bool string(std::string& v) { return reader.string(v), true; }
  bool binary(nlohmann::json::binary_t&) { return false; }  // not produced for JSON text
  bool start_object(size_t) { return start() && (reader.start_object(), true); }
  bool start_array(size_t) { return start() && (reader.start_array(), true); }
  bool key(std::string& k) { return reader.key(k), true; }
  bool end_object() { return --depth, reader.end_object(), true; }
  bool end_array() { return --depth, reader.end_array(), true; }

  bool parse_error(size_t position, const std::string&, const nlohmann::json::exception& error) {
    failed = true;
    fault_offset = position;
    fault = parse_error_description(error.what());
    return false;
  }
};

// Runs the parser over text, its events into reader. Gives the text's fault,
// if it has one; then what the reader made of the events means nothing.
template <typename Reader>
std::optional<JsonFault> read_events(std::string_view text, Reader& reader) {
  // The library would skip a byte-order mark silently; JSON text has none.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    return JsonFault{bad_json(text, "unexpected byte-order mark", 1)};
  }
  // The library takes a NUL byte for the end of its input; here it is a fault
  // wherever it stands, unless the text before it is already at fault.
  const size_t nul = text.find('\0');
  const std::string_view body = text.substr(0, nul);

  EventPass<Reader> pass(reader);
  const bool parsed = nlohmann::json::sax_parse(body.begin(), body.end(), &pass);
  if (nul != std::string_view::npos &&
      (parsed || (!pass.too_deep && pass.fault_offset > body.size()))) {
    return JsonFault{bad_json(text, "unexpected NUL byte", nul + 1)};
  }
  if (pass.too_deep) {
    return JsonFault{bad_json(text, "nesting of 128 levels or more", too_deep_offset(body))};
  }
  if (!parsed || pass.failed) return JsonFault{bad_json(text, pass.fault, pass.fault_offset)};
  return std::nullopt;
}

}  // namespace

std::variant<Roster, std::vector<std::string>, JsonFault> read_roster(std::string_view text) {
  DeclaredReader reader;
  if (std::optional<JsonFault> fault = read_events(text, reader)) return std::move(*fault);
  auto read = std::move(reader).finish();
  if (auto* roster = std::get_if<Roster>(&read)) return std::move(*roster);
  return std::move(std::get<std::vector<std::string>>(read));
}

std::variant<Observation, UnknownKind, JsonFault> read_observation(std::string_view kind,
                                                                   std::string_view detail) {
  // The reader of an unknown kind keeps nothing, but the detail is read all
  // the same: its fault is the one reported.
  ObservationReader reader(kind);
  if (std::optional<JsonFault> fault = read_events(detail, reader)) return std::move(*fault);
  std::optional<Observation> observation = std::move(reader).finish();
  if (!observation) return UnknownKind{};
  return std::move(*observation);
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
  if constexpr (kRouteTag<Kind> == "ready") strings += route.endpoint.size();
  if constexpr (kRouteTag<Kind> == "failed") strings += route.reason.size();
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
  if constexpr (kRouteTag<Kind> == "ready") {
    out.put("\"endpoint\":");
    out.put_string(route.endpoint);
    out.put(',');
  } else if constexpr (kRouteTag<Kind> == "warming") {
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
  if constexpr (kRouteTag<Kind> == "lost") {
    out.put(",\"reason\":");
    out.put_string(lost_reason_json_name(route.reason));
  } else if constexpr (kRouteTag<Kind> == "failed") {
    out.put(",\"reason\":");
    out.put_string(route.reason);
  }
  out.put(",\"route\":\"");
  out.put(kTag);
  out.put('"');
  if constexpr (kRouteTag<Kind> == "not_admitted") {
    out.put(",\"short_bytes\":");
    out.put_u64(route.short_bytes);
  }
  out.put(",\"try_elsewhere\":");
  out.put_bool(flags.try_elsewhere);
  out.put('}');
  return out.at;
}

// Room enough for a plan's text: the fixed keys and five numbers of 20
// digits, each name and the explanation escaped to their longest form
// (\u00xx), and per rejection its keys, three more numbers and its name.
size_t plan_bound(const Plan& plan, std::string_view explain) {
  size_t bound = 256 + 6 * explain.size();
  for (const std::string& name : plan.admitted)
    bound += 3 + 6 * name.size();
  for (const Rejection& rejection : plan.rejected)
    bound += 128 + 6 * rejection.model.size();
  return bound;
}

// Keys in ascending byte order, as the library writes a map.
// REQUIRES: buffer holds plan_bound(plan, explain) bytes.
char* put_plan(char* buffer, const Plan& plan, std::string_view explain, size_t declared) {
  RawWriter out{buffer};
  out.put("{\"admitted\":[");
  for (size_t i = 0; i < plan.admitted.size(); ++i) {
    if (i > 0) out.put(',');
    out.put_string(plan.admitted[i]);
  }
  out.put("],\"committed_bytes\":");
  out.put_u64(plan.committed_bytes);
  out.put(",\"declared\":");
  out.put_u64(declared);
  out.put(",\"explain\":");
  out.put_string(explain);
  out.put(",\"fits\":");
  out.put_bool(plan.rejected.empty());
  out.put(",\"headroom_bytes\":");
  out.put_u64(plan.headroom_bytes());
  out.put(",\"rejected\":[");
  for (size_t i = 0; i < plan.rejected.size(); ++i) {
    const Rejection& rejection = plan.rejected[i];
    out.put(i > 0 ? ",{\"free_bytes\":" : "{\"free_bytes\":");
    out.put_u64(rejection.free_bytes);
    out.put(",\"model\":");
    out.put_string(rejection.model);
    out.put(",\"needed_bytes\":");
    out.put_u64(rejection.needed_bytes);
    out.put(",\"short_bytes\":");
    out.put_u64(rejection.short_bytes());
    out.put('}');
  }
  out.put("],\"usable_bytes\":");
  out.put_u64(plan.usable_bytes);
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

namespace {

// One visit for the bound and the writing: a host asks for a route per request.
template <class Text>
size_t write_any_route(const BasicRoute<Text>& route, char* buffer, size_t capacity) {
  return std::visit(
      [&](const auto& kind) {
        const size_t bound = route_bound(kind);
        if (bound > capacity) return bound;
        return static_cast<size_t>(put_route(buffer, kind) - buffer);
      },
      route);
}

}  // namespace

size_t write_route(const Route& route, char* buffer, size_t capacity) {
  return write_any_route(route, buffer, capacity);
}

size_t write_route(const RouteView& route, char* buffer, size_t capacity) {
  return write_any_route(route, buffer, capacity);
}

size_t write_plan(const Plan& plan, std::string_view explain, size_t declared, char* buffer,
                  size_t capacity) {
  const size_t bound = plan_bound(plan, explain);
  if (bound > capacity) return bound;
  return static_cast<size_t>(put_plan(buffer, plan, explain, declared) - buffer);
}

std::string write_plan(const Plan& plan, size_t declared) {
  const std::string explain = plan.explain();
  std::string out(plan_bound(plan, explain), '\0');
  out.resize(static_cast<size_t>(put_plan(out.data(), plan, explain, declared) - out.data()));
  return out;
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
