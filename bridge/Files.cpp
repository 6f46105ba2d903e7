#include "bridge/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/AtomicFile.h"

namespace tolmix::bridge {
namespace {

std::string ErrnoText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + strerror(errno);
}

// Closes a descriptor when it goes.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* out, std::string* error) {
  out->clear();
  Fd f{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (f.fd < 0) {
    int saved = errno;
    *error = ErrnoText("cannot read", path);
    errno = saved;
    return false;
  }
  char buf[8192];
  for (;;) {
    ssize_t n = read(f.fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = ErrnoText("cannot read", path);
      return false;
    }
    if (n == 0) return true;
    out->append(buf, static_cast<size_t>(n));
  }
}

bool MakeFolders(const std::string& dir, std::string* error) {
  if (dir.empty() || dir == "/") return true;
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    *error = dir + " exists and is not a folder";
    return false;
  }
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(dir.substr(0, slash), error)) {
    return false;
  }
  if (mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) return true;
  *error = ErrnoText("cannot make", dir);
  return false;
}

bool WriteFileAtomic(const std::string& path, const std::string& bytes, unsigned mode,
                     std::string* error) {
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash), error)) {
    return false;
  }
  return platform::WriteFileAtomic(path, bytes, mode, error);
}

}  // namespace tolmix::bridge
