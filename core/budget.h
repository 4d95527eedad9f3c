// The two inputs of every admission decision, and the decision itself.
//
// A Budget is a card's total memory less the reserve held back for everything
// that is not a model. A roster is the ordered list of Declared models the
// host wants on the card. plan() admits them greedily, in roster order, into
// the usable bytes; Plan::explain() says what it decided in a few lines.
//
// Everything here is a plain value: no interpreter, no clock, no shared state.
// Nothing throws; a roster that cannot be read comes back as its messages.

#ifndef GARNEL_CORE_BUDGET_H_
#define GARNEL_CORE_BUDGET_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace garnel {

// The parsed JSON value every reader in the core consumes. Objects keep their
// keys in ascending byte order; numbers keep their three kinds (unsigned,
// signed and floating point), which the readers tell apart.
using JsonValue = nlohmann::json;

// The largest byte count; every byte sum saturates here instead of wrapping.
inline constexpr uint64_t kMaxBytes = UINT64_MAX;

// One GiB: the smallest reserve a card ever gets, whatever the percentage.
inline constexpr uint64_t kReserveFloorBytes = uint64_t{1} << 30;

// a + b, or kMaxBytes when the sum does not fit.
inline constexpr uint64_t saturating_add(uint64_t a, uint64_t b) {
  return a > kMaxBytes - b ? kMaxBytes : a + b;
}

// a - b, or 0 when b is the larger.
inline constexpr uint64_t saturating_sub(uint64_t a, uint64_t b) {
  return a > b ? a - b : 0;
}

// A card's memory and the part of it held back.
struct Budget {
  uint64_t total_bytes = 0;
  // Never below one GiB unless the total is, and never above the total.
  uint64_t reserve_bytes = 0;

  // Holds back reserve_pct percent of the total (100 and above mean 100),
  // counted per whole hundred bytes, and never less than one GiB.
  static Budget with_reserve_pct(uint64_t total_bytes, uint8_t reserve_pct);

  // The bytes models may use: the total less the reserve, floored at 0.
  uint64_t usable_bytes() const { return saturating_sub(total_bytes, reserve_bytes); }

  bool operator==(const Budget&) const = default;
};

// One model of the roster, with what it needs on the card.
struct Declared {
  std::string model;  // byte for byte as declared; never empty
  uint64_t weights_bytes = 0;
  uint64_t kv_bytes = 0;  // 0 when the roster leaves it out or gives null

  // The bytes the model needs: weights plus cache, saturating.
  uint64_t needed_bytes() const { return saturating_add(weights_bytes, kv_bytes); }

  bool operator==(const Declared&) const = default;
};

using Roster = std::vector<Declared>;

// Reads a roster from a parsed JSON array of model objects. Either the roster
// (possibly empty) or, when anything is wrong, one message per bad entry in
// array order ("entry {i}: ..."), or the single message for a value that is
// not an array. A failure carries no partial roster.
std::variant<Roster, std::vector<std::string>> declared_from_json(const JsonValue& value);

// Reads a JSON number as a whole byte count: a non-negative integer, or a
// finite non-negative double without a fraction (saturating at kMaxBytes).
// Anything else, negative integers included, gives nothing.
std::optional<uint64_t> whole_byte_count(const JsonValue& value);

// The member named `key` of an object, or nullptr; anything but an object
// has no members.
const JsonValue* json_member(const JsonValue& object, std::string_view key);

// The member spelled `camel`, or only when that key is absent, the one
// spelled `snake`. A camel key holding the wrong type still wins, so a
// detail never mixes its two spellings for one field. Every reader of the
// host's JSON goes through here, so both spellings mean the same everywhere.
const JsonValue* json_member(const JsonValue& object, std::string_view camel,
                             std::string_view snake);

// A model the plan could not fit.
struct Rejection {
  std::string model;
  uint64_t needed_bytes = 0;  // weights plus cache, saturating
  uint64_t free_bytes = 0;    // what was still uncommitted when it came up

  // How many bytes the model lacked: needed less free, floored at 0.
  uint64_t short_bytes() const { return saturating_sub(needed_bytes, free_bytes); }

  bool operator==(const Rejection&) const = default;
};

// The admission decision for one roster on one budget. Every roster entry is
// listed once, in roster order, either in admitted or in rejected.
struct Plan {
  std::vector<std::string> admitted;
  std::vector<Rejection> rejected;
  uint64_t committed_bytes = 0;  // what the admitted models need together
  uint64_t usable_bytes = 0;     // the budget's usable bytes

  // usable less committed, floored at 0.
  uint64_t headroom_bytes() const { return saturating_sub(usable_bytes, committed_bytes); }

  // One header line, then one "  REJECTED ..." line per rejection, joined by
  // line feeds, with figures in GiB to one decimal.
  std::string explain() const;
};

// Admits the roster's models greedily, in roster order, into the budget's
// usable bytes. A model that does not fit does not stop the walk: a later,
// smaller one may still be admitted.
Plan plan(const Budget& budget, const Roster& roster);

// Writes bytes as GiB with exactly one digit after the decimal point,
// correctly rounded from the exact double, ties to the even digit.
std::string format_gib(uint64_t bytes);

// Appends format_gib(bytes) to out.
void append_gib(std::string& out, uint64_t bytes);

// The most bytes format_gib() writes: "17179869184.0".
inline constexpr size_t kMaxGibLength = 13;

// Writes format_gib(bytes) at out and returns the end of what it wrote.
// REQUIRES: out has room for kMaxGibLength bytes.
char* write_gib(char* out, uint64_t bytes);

}  // namespace garnel

#endif  // GARNEL_CORE_BUDGET_H_
