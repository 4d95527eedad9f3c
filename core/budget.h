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

#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace garnel {

// Texts are sized by bounds that add up string lengths, six bytes for every
// byte that may need escaping among them. With a 64-bit size_t no text the
// process can hold makes such a sum wrap; with 32 bits a name of some
// hundreds of megabytes would, so such builds are refused here.
static_assert(sizeof(size_t) >= 8, "garnel needs a 64-bit size_t");

// The JSON library's value tree. The readers of the host's JSON take the
// parser's events instead and build none; a tree is made only where a route
// is built as an object (route_json) and in the tests' oracle. Objects keep
// their keys in ascending byte order; numbers keep their three kinds.
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

// What a reader keeps of one JSON value while the parser reads the text:
// its kind, and the value of a number or a boolean. A reader that needs a
// string's text keeps the text itself; arrays and objects count by kind.
struct MemberValue {
  enum class Kind : uint8_t {
    kAbsent,  // no such member
    kNull,
    kBoolean,
    kUnsigned,  // an integer that fits in 64 unsigned bits
    kSigned,    // a negative integer (or -0) that fits in 64 signed bits
    kFloat,     // a fraction, an exponent, or an integer outside both ranges
    kString,
    kArray,
    kObject,
  };
  Kind kind = Kind::kAbsent;
  bool boolean = false;
  uint64_t unsigned_value = 0;
  int64_t signed_value = 0;
  double float_value = 0;

  static MemberValue of(Kind kind) { return MemberValue{kind}; }
  static MemberValue of_boolean(bool value) {
    MemberValue v{Kind::kBoolean};
    v.boolean = value;
    return v;
  }
  static MemberValue of_unsigned(uint64_t value) {
    MemberValue v{Kind::kUnsigned};
    v.unsigned_value = value;
    return v;
  }
  static MemberValue of_signed(int64_t value) {
    MemberValue v{Kind::kSigned};
    v.signed_value = value;
    return v;
  }
  static MemberValue of_float(double value) {
    MemberValue v{Kind::kFloat};
    v.float_value = value;
    return v;
  }
};

// Reads a JSON number as a whole byte count: a non-negative integer, or a
// finite non-negative double without a fraction (saturating at kMaxBytes).
// Anything else, negative integers included, gives nothing.
std::optional<uint64_t> whole_byte_count(const MemberValue& value);

// Reads a roster from the JSON parser's events as they come, with no value
// tree: the events of one whole value, in the order of the JSON library's
// SAX interface. Gives the roster (possibly empty) or, when anything is
// wrong, one message per bad entry in array order ("entry {i}: ..."), or the
// single message for a value that is not an array; a failure carries no
// partial roster. Of an entry's repeated keys the last counts, and
// "weightsBytes" and "kvBytes" are looked up before "weights_bytes" and
// "kv_bytes", even when their values are bad. On events that stop short of
// a whole value (a text that is not JSON) the answer means nothing.
class DeclaredReader {
 public:
  // A null, a boolean or a number; strings come through string().
  void scalar(const MemberValue& value);
  // May swap the text out: the parser's buffer is only lent for the call.
  void string(std::string& text);
  void key(std::string_view key);
  void start_object() { start(MemberValue::Kind::kObject); }
  void start_array() { start(MemberValue::Kind::kArray); }
  void end_object() { end(); }
  void end_array() { end(); }

  // The roster, or the messages that refuse it.
  std::variant<Roster, std::vector<std::string>> finish() &&;

 private:
  // The members of an entry that the roster reads.
  enum class Field : uint8_t { kOther, kModel, kWeights, kWeightsSnake, kKv, kKvSnake };

  bool in_entry_object() const { return depth_ == 2 && top_is_array_ && entry_is_object_; }
  void start(MemberValue::Kind kind);
  void end();
  void keep(const MemberValue& value);
  // Reads the entry just ended: appends it to the roster, or its message.
  void close_entry(bool is_object);

  size_t depth_ = 0;  // containers open around the next event
  bool top_is_array_ = false;
  bool entry_is_object_ = false;
  Field pending_ = Field::kOther;  // the member whose value comes next
  MemberValue model_, weights_, weights_snake_, kv_, kv_snake_;
  std::string name_;  // the text of the last "model" string
  size_t index_ = 0;  // the next entry's
  Roster roster_;
  std::vector<std::string> messages_;
};

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
inline char* write_gib(char* out, uint64_t bytes);

// Writes value in decimal at out and returns the end of what it wrote. A
// report writes a figure on most lines, and nearly all are below 10^8
// (seconds of a year, any count of a card's models): those are put down as
// digit pairs from a table, with no loop of divisions.
// REQUIRES: out has room for the digits.
inline char* write_decimal(char* out, uint64_t value);

// write_decimal(), write_gib() and the copy of short texts are defined here,
// not in the source, since a report uses them on every line.

namespace internal {

// Two decimal digits for each value below 100.
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// value, below 10 000, in exactly four digits.
inline char* write_four_digits(char* out, uint32_t value) {
  std::memcpy(out, kDigitPairs + 2 * (value / 100), 2);
  std::memcpy(out + 2, kDigitPairs + 2 * (value % 100), 2);
  return out + 4;
}

// value, below 10 000, without leading zeros.
inline char* write_below_10000(char* out, uint32_t value) {
  if (value < 10) {
    *out = static_cast<char>('0' + value);
    return out + 1;
  }
  if (value < 100) {
    std::memcpy(out, kDigitPairs + 2 * value, 2);
    return out + 2;
  }
  if (value < 1000) {
    *out = static_cast<char>('0' + value / 100);
    std::memcpy(out + 1, kDigitPairs + 2 * (value % 100), 2);
    return out + 3;
  }
  return write_four_digits(out, value);
}

// Moves one word from `from + at` to `out + at` and returns it.
template <class Word>
uint64_t move_word(char* out, const char* from, size_t at) {
  Word word;
  std::memcpy(&word, from + at, sizeof word);
  std::memcpy(out + at, &word, sizeof word);
  return word;
}

// Copies text to out and returns the OR of the words it moved: bit 7 of
// every byte is clear when the text is plain ASCII. Report lines are made of
// short texts (names, fixed phrases, lost reasons), and a call to memcpy
// costs more than the copy, so up to 64 bytes move inline as words that
// overlap where the length needs it. A longer text is copied by memcpy and
// gives every bit set.
inline uint64_t copy_text(char* out, std::string_view text) {
  const char* from = text.data();
  const size_t size = text.size();
  const auto move16 = [&](size_t at) {
    return move_word<uint64_t>(out, from, at) | move_word<uint64_t>(out, from, at + 8);
  };
  if (size >= 8 && size < 16) {  // most names
    return move_word<uint64_t>(out, from, 0) | move_word<uint64_t>(out, from, size - 8);
  }
  if (size >= 16 && size <= 32) return move16(0) | move16(size - 16);
  if (size > 32 && size <= 64)
    return move16(0) | move16(16) | move16(size - 32) | move16(size - 16);
  if (size >= 4 && size < 8) {
    return move_word<uint32_t>(out, from, 0) | move_word<uint32_t>(out, from, size - 4);
  }
  if (size > 0 && size < 4) {
    // Bytes 0, size / 2 and size - 1 cover every byte of up to three.
    return move_word<uint8_t>(out, from, 0) | move_word<uint8_t>(out, from, size / 2) |
           move_word<uint8_t>(out, from, size - 1);
  }
  if (size == 0) return 0;
  std::memcpy(out, from, size);
  return ~uint64_t{0};
}

}  // namespace internal

inline char* write_decimal(char* out, uint64_t value) {
  if (value >= 100000000) {
    char digits[20];
    const auto size = static_cast<size_t>(std::to_chars(digits, digits + 20, value).ptr - digits);
    std::memcpy(out, digits, size);
    return out + size;
  }
  const auto small = static_cast<uint32_t>(value);
  if (small < 10000) return internal::write_below_10000(out, small);
  out = internal::write_below_10000(out, small / 10000);
  return internal::write_four_digits(out, small % 10000);
}

inline char* write_gib(char* out, uint64_t bytes) {
  // The conversion to double is the one rounding. The double is a whole
  // number of bytes, so its exact value in GiB is whole + fraction / 2^30,
  // and the tenth is rounded in integers: exact, ties to even, and much
  // cheaper than formatting a double on every report line.
  constexpr uint64_t kGiB = uint64_t{1} << 30;
  uint64_t exact = bytes;  // below 2^53 the double holds the count exactly
  uint64_t whole = 0;
  if (bytes >= uint64_t{1} << 53) {
    const double value = static_cast<double>(bytes);
    // Counts near 2^64 round up to exactly 2^64, which no uint64_t holds.
    if (value >= 0x1p64) {
      exact = 0;
      whole = uint64_t{1} << 34;
    } else {
      exact = static_cast<uint64_t>(value);
    }
  }
  whole += exact / kGiB;
  const uint64_t scaled = exact % kGiB * 10;  // below 10 * 2^30: no overflow
  uint64_t tenth = scaled / kGiB;
  const uint64_t rest = scaled % kGiB;
  if (rest > kGiB / 2 || (rest == kGiB / 2 && tenth % 2 == 1)) ++tenth;
  if (tenth == 10) {
    ++whole;
    tenth = 0;
  }
  out = write_decimal(out, whole);  // whole < 2^34 + 1: 11 digits at most
  *out++ = '.';
  *out++ = static_cast<char>('0' + tenth);
  return out;
}

}  // namespace garnel

#endif  // GARNEL_CORE_BUDGET_H_
