// Bounded text helpers: every scan is limited by the real length of its
// buffer, every copy by the room of its destination.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string_view>

namespace bb {

// The text held in a buffer of `capacity` bytes: up to its first NUL, or
// the whole buffer when it holds none.
inline std::string_view buffer_text(const char *buf, size_t capacity) {
  const void *nul = memchr(buf, 0, capacity);
  return {buf, nul ? static_cast<size_t>(static_cast<const char *>(nul) - buf) : capacity};
}

// Copies src into dst (room bytes) and always terminates it.  Returns true
// when src had to be cut to fit.
inline bool copy_bounded(char *dst, size_t room, std::string_view src) {
  if (room == 0) return !src.empty();
  size_t n = src.size() < room - 1 ? src.size() : room - 1;
  memcpy(dst, src.data(), n);
  dst[n] = '\0';
  return n < src.size();
}

// The prefix of s before the first `stop`, or all of s.
inline std::string_view take_until(std::string_view s, char stop) {
  size_t end = s.find(stop);
  return end == std::string_view::npos ? s : std::string_view(s.data(), end);
}

// s without its first n bytes (n clamped): string_view::substr throws.
inline std::string_view drop(std::string_view s, size_t n) {
  s.remove_prefix(n < s.size() ? n : s.size());
  return s;
}

// The bytes [from, to) of s, both clamped to s (substr would throw).
inline std::string_view slice(std::string_view s, size_t from, size_t to) {
  if (to > s.size()) to = s.size();
  if (from > to) from = to;
  return {s.data() + from, to - from};
}

inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

inline bool contains(std::string_view text, std::string_view word) {
  return text.find(word) != std::string_view::npos;
}

// Case-insensitive search, for HTTP header names.
inline size_t find_nocase(std::string_view hay, std::string_view needle) {
  if (needle.size() > hay.size()) return std::string_view::npos;
  for (size_t i = 0; i + needle.size() <= hay.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && ascii_lower(hay[i + k]) == ascii_lower(needle[k])) ++k;
    if (k == needle.size()) return i;
  }
  return std::string_view::npos;
}

// XML white space: devices pad element text with line breaks and blanks.
inline bool xml_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// s without the XML white space around it.
inline std::string_view trim_xml_space(std::string_view s) {
  while (!s.empty() && xml_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && xml_space(s.back())) s.remove_suffix(1);
  return s;
}

// s with leading blanks (space and tab) removed.
inline std::string_view skip_blanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

}  // namespace bb
