// Diagnostics for people setting a machine up: when $TOLMIX_DEBUG is set
// (`tolmix --verbose` sets it), each route says on standard error which
// device list, module, slot, key or check it looked at and why it passed one
// over.  The control's own texts (m_szError, return values) never change
// with it, and nothing secret (PINs, keys, content) is ever written.
#pragma once

namespace tolmix::platform {

// True when $TOLMIX_DEBUG is set to anything but "" or "0".
bool TraceOn();

// Writes "tolmix: " followed by FMT (printf-style) and a new line to
// standard error when TraceOn(); does nothing otherwise.  One line is cut at
// 1023 bytes.
#if defined(__MINGW32__)
// The Windows build formats with mingw's own stdio (__USE_MINGW_ANSI_STDIO),
// which has %zu; the msvcrt archetype of plain "printf" does not.
void Trace(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
void Trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
#endif

}  // namespace tolmix::platform
