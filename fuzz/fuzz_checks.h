// Checks shared by the fuzz targets.
//
// A violated check prints what broke and where, then aborts, so libFuzzer
// records the input as a crash. The checks stay on in every build type: a
// fuzz target with its checks compiled out would find nothing.

#ifndef GARNEL_FUZZ_FUZZ_CHECKS_H_
#define GARNEL_FUZZ_FUZZ_CHECKS_H_

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json_text.h"

#define GARNEL_FUZZ_CHECK(condition)                                                 \
  do {                                                                               \
    if (!(condition)) ::garnel::fuzz::fail(__FILE__, __LINE__, #condition, nullptr); \
  } while (false)

// As GARNEL_FUZZ_CHECK, also printing a text that shows what was wrong.
#define GARNEL_FUZZ_CHECK_TEXT(condition, text)                                     \
  do {                                                                              \
    if (!(condition)) ::garnel::fuzz::fail(__FILE__, __LINE__, #condition, (text)); \
  } while (false)

namespace garnel {
namespace fuzz {

[[noreturn]] inline void fail(const char* file, int line, const char* condition,
                              const std::string* text) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  if (text != nullptr) std::fprintf(stderr, "  text: %s\n", text->c_str());
  std::abort();
}

[[noreturn]] inline void fail(const char* file, int line, const char* condition,
                              const std::string& text) {
  fail(file, line, condition, &text);
}

inline bool starts_with(std::string_view text, std::string_view head) {
  return text.substr(0, head.size()) == head;
}

inline bool ends_with(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

inline bool is_valid_utf8(std::string_view text) {
  return valid_utf8(text) == text;
}

// Reads the decimal number that ends at `end` in text, moving `end` to its
// first digit. False when there is no digit there or it does not fit.
inline bool decimal_before(std::string_view text, size_t& end, size_t& value) {
  size_t start = end;
  while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9')
    --start;
  if (start == end || end - start > 18) return false;
  value = 0;
  for (size_t i = start; i < end; ++i)
    value = value * 10 + static_cast<size_t>(text[i] - '0');
  end = start;
  return true;
}

// A fault from parse_json must be whole: the prefix, valid UTF-8, and a
// position inside the text ("at line L column C", L counted from 1, C the
// bytes read on that line).
inline void check_fault_message(const std::string& message, std::string_view text) {
  GARNEL_FUZZ_CHECK_TEXT(starts_with(message, "bad json: "), message);
  GARNEL_FUZZ_CHECK_TEXT(is_valid_utf8(message), message);
  // The library's own prefixes are replaced by ours (the rest may quote the
  // input, which can hold anything).
  GARNEL_FUZZ_CHECK_TEXT(!starts_with(message, "bad json: [json.exception"), message);
  GARNEL_FUZZ_CHECK_TEXT(!starts_with(message, "bad json: parse error"), message);

  size_t end = message.size();
  size_t column = 0;
  size_t line = 0;
  GARNEL_FUZZ_CHECK_TEXT(decimal_before(message, end, column), message);
  GARNEL_FUZZ_CHECK_TEXT(ends_with(message.substr(0, end), " column "), message);
  end -= std::string_view(" column ").size();
  GARNEL_FUZZ_CHECK_TEXT(decimal_before(message, end, line), message);
  GARNEL_FUZZ_CHECK_TEXT(ends_with(message.substr(0, end), " at line "), message);

  // The line must exist in the text and the column lie within it: a line
  // feed that was read would have started the next line.
  size_t line_start = 0;
  size_t lines_seen = 1;
  while (lines_seen < line) {
    const size_t feed = text.find('\n', line_start);
    GARNEL_FUZZ_CHECK_TEXT(feed != std::string_view::npos, message);
    line_start = feed + 1;
    ++lines_seen;
  }
  GARNEL_FUZZ_CHECK_TEXT(line >= 1, message);
  GARNEL_FUZZ_CHECK_TEXT(line_start + column <= text.size(), message);
  const size_t feed = text.find('\n', line_start);
  if (feed != std::string_view::npos) GARNEL_FUZZ_CHECK_TEXT(line_start + column <= feed, message);
}

}  // namespace fuzz
}  // namespace garnel

#endif  // GARNEL_FUZZ_FUZZ_CHECKS_H_
