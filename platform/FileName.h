// File names at the scripting boundary.  A path argument arrives in the
// system code page (GBK), like every other text; the file system names
// files in UTF-8.  Each member converts a path here at the point where it
// hands it to the file system, so that a GBK path names the same file as
// its Unicode form, as an ANSI path does on the original platform.
#pragma once

#include <string>
#include <string_view>

namespace tolmix::platform {

// The file-system name (UTF-8) of the GBK path GBK_PATH.  False, *OUT
// cleared, when the bytes are not GBK: such a path has no UTF-8 form and
// names no file, so the member refuses it with its own read or write
// message.  ASCII paths come back unchanged.
bool FileSystemName(std::string_view gbkPath, std::string* out);

}  // namespace tolmix::platform
