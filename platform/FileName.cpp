#include "platform/FileName.h"

#include "platform/CodePage.h"

namespace tolmix::platform {

bool FileSystemName(std::string_view gbkPath, std::string* out) {
  // A NUL inside would end the name early at the file system.
  if (gbkPath.find('\0') != std::string_view::npos) {
    out->clear();
    return false;
  }
  return GbkToUtf8(gbkPath, out);
}

}  // namespace tolmix::platform
