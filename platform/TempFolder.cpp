#include "platform/TempFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Env.h"

namespace tolmix::platform {
namespace {

// Opens DIR as a real folder (not a link) of this user's that nobody else
// may enter.  With NARROW -- a folder of our own making -- it is made 0700
// when missing, and one of ours with wider rights is narrowed to 0700;
// without it -- a folder the system made for us -- it must already be
// private.  -1 when it is not such a folder.
int OpenOwnFolder(const std::string& dir, bool narrow) {
  if (dir.empty() || dir[0] != '/') return -1;
  if (narrow && mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return -1;
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;  // a link (ELOOP or ENOTDIR), or missing
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
  if (ok && (st.st_mode & 077) != 0) ok = narrow && fchmod(fd, 0700) == 0;
  if (!ok) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int OpenPrivateTempDir(std::string* path) {
  const std::string runtime = RuntimeDir();
  if (!runtime.empty()) {
    int parent = OpenOwnFolder(runtime, false);
    if (parent >= 0) {
      close(parent);
      std::string dir = runtime + "/tolmix";
      int fd = OpenOwnFolder(dir, true);
      if (fd >= 0) {
        *path = std::move(dir);
        return fd;
      }
    }
  }
  std::string dir = TempDir() + "tolmix-" + std::to_string(geteuid());
  int fd = OpenOwnFolder(dir, true);
  if (fd >= 0) *path = std::move(dir);
  return fd;
}

int CreatePrivateTempFile(const char* name, std::string* path) {
  if (name == nullptr || *name == '\0' || strchr(name, '/') != nullptr) return -1;
  std::string dir;
  int dirFd = OpenPrivateTempDir(&dir);
  if (dirFd < 0) return -1;
  // Afresh: the old file (a viewer may still hold it open) goes first.
  unlinkat(dirFd, name, 0);
  int fd = openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  close(dirFd);
  if (fd >= 0) *path = dir + "/" + name;
  return fd;
}

}  // namespace tolmix::platform
