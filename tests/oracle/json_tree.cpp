#include "json_tree.h"

#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "json_text.h"

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
    fault = parse_error_description(error.what());
    return false;
  }
};

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

std::optional<uint64_t> whole_byte_count(const JsonValue& value) {
  if (value.is_number_unsigned()) return value.get<uint64_t>();
  // The parser holds "-0" as a signed zero; by value it is still zero.
  if (value.is_number_integer()) {
    const int64_t n = value.get<int64_t>();
    if (n >= 0) return static_cast<uint64_t>(n);
    return std::nullopt;
  }
  if (value.is_number_float()) {
    const double x = value.get<double>();
    if (!std::isfinite(x) || x < 0 || std::trunc(x) != x) return std::nullopt;
    // 2^64 is exactly representable; anything at or above it saturates.
    if (x >= 18446744073709551616.0) return kMaxBytes;
    return static_cast<uint64_t>(x);
  }
  return std::nullopt;
}

const JsonValue* json_member(const JsonValue& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

const JsonValue* json_member(const JsonValue& object, std::string_view camel,
                             std::string_view snake) {
  const JsonValue* found = json_member(object, camel);
  return found != nullptr ? found : json_member(object, snake);
}

namespace {

// One roster entry, or the message that rejects it.
std::variant<Declared, std::string> declared_entry(const JsonValue& entry) {
  const JsonValue* name = json_member(entry, "model");
  if (name == nullptr || !name->is_string()) return std::string(R"(missing "model")");
  const auto& model = name->get_ref<const std::string&>();
  if (model.empty()) return std::string(R"("model" is empty)");

  const JsonValue* weights = json_member(entry, "weightsBytes", "weights_bytes");
  const std::optional<uint64_t> weights_bytes =
      weights != nullptr ? whole_byte_count(*weights) : std::nullopt;
  if (!weights_bytes) return model + R"(: "weightsBytes" missing or not a whole byte count)";

  uint64_t kv_bytes = 0;
  const JsonValue* kv = json_member(entry, "kvBytes", "kv_bytes");
  if (kv != nullptr && !kv->is_null()) {
    const std::optional<uint64_t> count = whole_byte_count(*kv);
    if (!count) return model + R"(: "kvBytes" is not a whole byte count)";
    kv_bytes = *count;
  }
  return Declared{model, *weights_bytes, kv_bytes};
}

}  // namespace

std::variant<Roster, std::vector<std::string>> declared_from_json(const JsonValue& value) {
  if (!value.is_array()) {
    return std::vector<std::string>{"expected an array of declared models"};
  }
  Roster roster;
  roster.reserve(value.size());
  std::vector<std::string> messages;
  size_t index = 0;
  for (const JsonValue& entry : value) {
    auto read = declared_entry(entry);
    if (auto* message = std::get_if<std::string>(&read)) {
      messages.push_back("entry " + std::to_string(index) + ": " + *message);
    } else if (messages.empty()) {
      // Once an entry has failed the roster is lost anyway; stop copying.
      roster.push_back(std::move(std::get<Declared>(read)));
    }
    ++index;
  }
  if (!messages.empty()) return messages;
  return roster;
}

namespace {

// The string member `key`, or nullptr when it is absent or not a string.
const std::string* string_member(const JsonValue& detail, std::string_view key) {
  const JsonValue* value = json_member(detail, key);
  if (value == nullptr || !value->is_string()) return nullptr;
  return &value->get_ref<const std::string&>();
}

// The low 32 bits of an integer in the signed 64-bit range, read as signed.
// Unsigned integers above that range and doubles carry no code.
std::optional<int32_t> exit_code(const JsonValue* value) {
  if (value == nullptr) return std::nullopt;
  uint64_t bits = 0;
  if (value->is_number_unsigned()) {
    bits = value->get<uint64_t>();
    if (bits > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
  } else if (value->is_number_integer()) {
    bits = static_cast<uint64_t>(value->get<int64_t>());
  } else {
    return std::nullopt;
  }
  return static_cast<int32_t>(static_cast<uint32_t>(bits));
}

}  // namespace

std::optional<Observation> observation_from_json(std::string_view kind, const JsonValue& detail) {
  if (kind == "load_started" || kind == "loadStarted") return LoadStarted{};
  if (kind == "probe_ok" || kind == "probeOk") {
    const JsonValue* vram = json_member(detail, "vramBytes", "vram_bytes");
    return ProbeOk{vram != nullptr ? whole_byte_count(*vram).value_or(0) : 0};
  }
  if (kind == "probe_failed" || kind == "probeFailed") {
    ProbeFailed probe;
    const JsonValue* gpu = json_member(detail, "gpuPresent", "gpu_present");
    if (gpu != nullptr && gpu->is_boolean()) probe.gpu_present = gpu->get<bool>();
    if (const std::string* text = string_member(detail, "detail")) probe.detail = *text;
    return probe;
  }
  if (kind == "process_exited" || kind == "processExited") {
    return ProcessExited{exit_code(json_member(detail, "code"))};
  }
  if (kind == "load_failed" || kind == "loadFailed") {
    LoadFailed failure;
    if (const std::string* text = string_member(detail, "detail")) failure.detail = *text;
    return failure;
  }
  if (kind == "stop" || kind == "stop_requested" || kind == "stopRequested") return Stop{};
  return std::nullopt;
}

// The plan as the module writes it: eight keys, rejections with their shortfall.
JsonValue plan_json(const Plan& result, size_t declared) {
  JsonValue rejected = JsonValue::array();
  for (const Rejection& rejection : result.rejected) {
    rejected.push_back({{"free_bytes", rejection.free_bytes},
                        {"model", rejection.model},
                        {"needed_bytes", rejection.needed_bytes},
                        {"short_bytes", rejection.short_bytes()}});
  }
  return {{"admitted", result.admitted},
          {"committed_bytes", result.committed_bytes},
          {"declared", declared},
          {"explain", result.explain()},
          {"fits", result.rejected.empty()},
          {"headroom_bytes", result.headroom_bytes()},
          {"rejected", std::move(rejected)},
          {"usable_bytes", result.usable_bytes}};
}

}  // namespace garnel
