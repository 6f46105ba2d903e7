// Bounded copies into the fixed-size text fields of the system.  Every copy
// into a char[N] field goes through these helpers, so no path can write past
// a field: the text is cut to N - 1 bytes and always NUL-terminated.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace tolmix {

// Copies SRC (NUL-terminated, may be null = empty) into DST of SIZE bytes,
// cut to SIZE - 1 bytes.  Returns the number of bytes copied.  SIZE 0 writes
// nothing.
inline size_t CopyBounded(char* dst, size_t size, const char* src) noexcept {
  if (size == 0) return 0;
  size_t n = src ? strnlen(src, size - 1) : 0;
  if (n) memcpy(dst, src, n);
  dst[n] = '\0';
  return n;
}

inline size_t CopyBounded(char* dst, size_t size, std::string_view src) noexcept {
  if (size == 0) return 0;
  size_t n = src.size() < size - 1 ? src.size() : size - 1;
  if (n) memcpy(dst, src.data(), n);
  dst[n] = '\0';
  return n;
}

template <size_t N>
inline size_t CopyBounded(char (&dst)[N], const char* src) noexcept {
  return CopyBounded(dst, N, src);
}

template <size_t N>
inline size_t CopyBounded(char (&dst)[N], std::string_view src) noexcept {
  return CopyBounded(dst, N, src);
}

// True when SRC (NUL-terminated) fits a field of N bytes with its NUL.
template <size_t N>
inline bool FitsField(const char* src) noexcept {
  return src == nullptr || strnlen(src, N) < N;
}

// Formats into DST with the C printf conventions, cut to N - 1 bytes.
template <size_t N>
inline void FormatBounded(char (&dst)[N], const char* fmt, ...) noexcept
    __attribute__((format(printf, 2, 3)));

template <size_t N>
inline void FormatBounded(char (&dst)[N], const char* fmt, ...) noexcept {
  va_list ap;
  va_start(ap, fmt);
  int r = vsnprintf(dst, N, fmt, ap);
  va_end(ap);
  if (r < 0) dst[0] = '\0';
}

}  // namespace tolmix
