// The temporary directory of the user's profile (GetTempPathA) is the
// user's own on Windows: tempview.cer goes straight into it.
#include "platform/TempFolder.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstring>

#include "platform/Env.h"

namespace tolmix::platform {

int OpenPrivateTempDir(std::string* path) {
  std::string dir = TempDir();
  if (dir.size() > 1) dir.pop_back();  // without its final "\"
  *path = std::move(dir);
  return 0;  // no folder handle on Windows; callers only test for -1
}

int CreatePrivateTempFile(const char* name, std::string* path) {
  if (name == nullptr || *name == '\0' || strpbrk(name, "/\\:") != nullptr) return -1;
  const std::string file = TempDir() + name;
  _unlink(file.c_str());
  int fd = _open(file.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
  if (fd >= 0) *path = file;
  return fd;
}

}  // namespace tolmix::platform
