// Numbers that devices send in status lines, Content-Length headers and
// chunk-size lines.  Read like strtol (leading blanks skipped, digits up to
// the first other byte), but a value that does not fit in 32 bits is
// reported as such instead of wrapping or saturating.
#pragma once

#include <stdint.h>

#include <string_view>

#include "text.h"

namespace bb {

enum class number_result {
  ok,        // at least one digit; value stored
  none,      // no digit where the number should start
  negative,  // a minus sign where the number should start
  overflow,  // more than INT32_MAX
};

namespace detail {

inline int digit_value(char c, int base) {
  int v = -1;
  if (c >= '0' && c <= '9') v = c - '0';
  else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
  return v < base ? v : -1;
}

inline number_result parse_digits(std::string_view s, int base, int32_t *out) {
  s = skip_blanks(s);
  if (!s.empty() && s.front() == '-') return number_result::negative;
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  // strtol takes an optional 0x before hexadecimal digits.
  if (base == 16 && s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') &&
      digit_value(s[2], 16) >= 0)
    s.remove_prefix(2);
  int64_t value = 0;
  size_t digits = 0;
  for (char c : s) {
    int d = digit_value(c, base);
    if (d < 0) break;
    value = value * base + d;
    if (value > INT32_MAX) return number_result::overflow;
    ++digits;
  }
  if (digits == 0) return number_result::none;
  *out = static_cast<int32_t>(value);
  return number_result::ok;
}

}  // namespace detail

inline number_result parse_decimal(std::string_view s, int32_t *out) {
  return detail::parse_digits(s, 10, out);
}

inline number_result parse_hex(std::string_view s, int32_t *out) {
  return detail::parse_digits(s, 16, out);
}

}  // namespace bb
