// Whole-file replacement on Windows: a new file beside PATH, flushed, then
// MoveFileExA over it (MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH).
// MODE has no meaning here: the file takes its folder's permissions.
#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

namespace tolmix::platform {

bool WriteFileAtomic(const std::string& path, std::string_view bytes, unsigned /*mode*/,
                     std::string* error) {
  const std::string temp = path + ".tmp." + std::to_string(GetCurrentProcessId());
  int fd = _open(temp.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    *error = "cannot create a temporary file beside " + path + ": " + strerror(errno);
    return false;
  }
  bool ok = true;
  for (size_t done = 0; ok && done < bytes.size();) {
    const int n = _write(fd, bytes.data() + done, static_cast<unsigned>(bytes.size() - done));
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && _commit(fd) == 0;
  ok = _close(fd) == 0 && ok;
  ok = ok && MoveFileExA(temp.c_str(), path.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
  if (!ok) {
    *error = "cannot write " + path;
    _unlink(temp.c_str());
  }
  return ok;
}

}  // namespace tolmix::platform
