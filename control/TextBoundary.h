// Text at the scripting boundary.  Scripts speak UTF-16; inside, the
// control works in GBK.  Each string argument is turned into GBK before its
// method runs, and each string result back into UTF-16 when it leaves.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/Bstr.h"

namespace tolmix::control {

// Recorded in m_szLastError when a string argument holds a character that
// has no GBK form (or a lone surrogate); the method then returns its
// failure value without running.  "参数含有无法转换的字符."
inline constexpr char kMsgArgumentNotGbk[] =
    "\xB2\xCE\xCA\xFD\xBA\xAC\xD3\xD0\xCE\xDE\xB7\xA8\xD7\xAA\xBB\xBB\xB5\xC4\xD7\xD6\xB7\xFB.";

// Recorded when a selector, password or device library name is longer than
// the 255 bytes its 256-byte field holds; the method returns its failure
// value without running.  "参数过长."
inline constexpr char kMsgArgumentTooLong[] = "\xB2\xCE\xCA\xFD\xB9\xFD\xB3\xA4.";

// Longest argument (in GBK bytes, without the NUL) that the control's
// 256-byte fields (m_szInterface, m_szPassword, m_szGMDllName) and the
// session's fields hold.
inline constexpr size_t kMaxFieldArgument = 255;

// The engine keeps a password in a 32-byte field: at most 31 bytes.  True
// when PASSWORD (GBK) fits it, so the session methods can refuse a longer
// one instead of letting it be cut.
bool PasswordFitsEngine(std::string_view password);

// Converts the string argument ARG to GBK in *OUT.  The text ends at its
// first NUL character; a null BSTR is the empty text.  False (with *OUT
// cleared) when the text does not convert.
bool ArgumentToGbk(const platform::OLECHAR* arg, std::string* out);

// Converts the GBK result TEXT to UTF-16.  Results are made by the control
// itself and are GBK; should a byte sequence still not be GBK, each such
// byte becomes U+FFFD and the rest converts, so the script sees where the
// text was damaged instead of a silently shortened or empty one.
std::u16string ResultToUtf16(std::string_view gbk);

}  // namespace tolmix::control
