// Parts of `tolmix run` shared between its files.  Duktape's C calls throw
// by longjmp, so every C function given to the engine does its C++ work in
// a helper whose objects are gone before it throws (see ThrowError).
#pragma once

#include <duktape.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace tolmix::host::run {

// Defines the global ActiveXObject constructor (host/RunActiveX.cpp).
void DefineActiveXObject(duk_context* ctx);

// True once WScript.Quit has run: every later call into the host throws
// again, so the script cannot go on past it.
bool QuitRequested();

// Throws an Error (or TypeError) with MESSAGE, blamed on the script line
// that made the call.  Only call it when no C++ object with a destructor
// is alive in the calling C function.
[[noreturn]] void ThrowError(duk_context* ctx, const char* message, bool typeError = false);
// The same for a failed call of a COM object: an Error whose "number" is
// the HRESULT (as a signed 32-bit value) and whose "description" is
// MESSAGE, as JScript throws it.
[[noreturn]] void ThrowComError(duk_context* ctx, const char* message, int32_t number);

// Duktape's internal text (CESU-8, and 4-byte sequences for characters past
// U+FFFF that came from UTF-8 source) to UTF-16, and back (each code unit
// on its own, as the engine keeps strings).
std::u16string ToUtf16(std::string_view engineText);
void PushUtf16(duk_context* ctx, std::u16string_view text);
// UTF-16 to UTF-8 for output; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8Lossy(std::u16string_view text);

}  // namespace tolmix::host::run
