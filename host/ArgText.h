// Command-line arguments as the text a script would pass: "@PATH" stands
// for the contents of the file PATH, read as UTF-8 (a leading byte-order
// mark is dropped); "@@x" is the literal text "@x"; anything else is the
// argument itself, which must be UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace tolmix::host {

// Decodes ARG into *OUT (UTF-16).  False with a message in *ERROR when the
// file cannot be read or a text is not UTF-8.
bool DecodeArgument(std::string_view arg, std::u16string* out, std::string* error);

}  // namespace tolmix::host
