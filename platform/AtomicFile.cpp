#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tolmix::platform {

bool WriteFileAtomic(const std::string& path, std::string_view bytes, unsigned mode,
                     std::string* error) {
  std::string temp = path + ".tmp.XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);  // created 0600
  if (fd < 0) {
    *error = "cannot create a temporary file beside " + path + ": " + strerror(errno);
    return false;
  }
  bool ok = true;
  for (size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && fchmod(fd, static_cast<mode_t>(mode)) == 0 && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    *error = "cannot write " + path + ": " + strerror(errno);
    unlink(temp.c_str());
  }
  return ok;
}

}  // namespace tolmix::platform
