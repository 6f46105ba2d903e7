// Code-page conversion at the scripting boundary.  Inside, every text is GBK
// (code page 936); across the boundary it is UTF-16.  Conversion goes through
// glibc's iconv.  A text that does not convert is refused (false), never
// garbled or silently shortened.
#pragma once

#include <string>
#include <string_view>

namespace tolmix::platform {

// GBK bytes to UTF-16.  False when the bytes are not valid GBK; *out is then
// cleared.
bool GbkToUtf16(std::string_view gbk, std::u16string* out);

// UTF-16 to GBK.  False for a lone surrogate or a character that has no GBK
// form; *out is then cleared.
bool Utf16ToGbk(std::u16string_view utf16, std::string* out);

// UTF-8 <-> GBK and UTF-8 <-> UTF-16, for the host, files and tests; same
// refusal rules.
bool Utf8ToGbk(std::string_view utf8, std::string* out);
bool GbkToUtf8(std::string_view gbk, std::string* out);
bool Utf8ToUtf16(std::string_view utf8, std::u16string* out);
bool Utf16ToUtf8(std::u16string_view utf16, std::string* out);

}  // namespace tolmix::platform
