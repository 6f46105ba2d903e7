#include "platform/SafeFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace tolmix::platform {
namespace {

// Links followed in a row before a target is refused (the kernel's limit).
constexpr int kMaxLinks = 40;

// New files are named "<target>.tmp" and 12 lower-case hex digits.
constexpr char kTempMark[] = ".tmp";
constexpr size_t kTempMarkLength = sizeof kTempMark - 1;
constexpr size_t kTempDigits = 12;

// One file descriptor, closed when it goes.
class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : m_nFd(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const noexcept { return m_nFd; }
  int release() noexcept {
    int fd = m_nFd;
    m_nFd = -1;
    return fd;
  }
  void reset(int fd = -1) noexcept {
    if (m_nFd >= 0) close(m_nFd);
    m_nFd = fd;
  }

 private:
  int m_nFd;
};

// The process's umask, read without changing it (umask(2) can only be read
// by setting it, which would race with other threads).  022 when the
// kernel does not tell.
mode_t CurrentUmask() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(strtoul(line.c_str() + 6, nullptr, 8));
  }
  return 022;
}

// The kernel's fs.protected_symlinks rule for the link LINK in the folder
// DIR: a link in a sticky, world-writable folder is followed only when it
// belongs to this user or to the folder's owner.
bool MayFollow(int dir, const struct stat& link) {
  struct stat folder;
  if (fstat(dir, &folder) != 0) return false;
  const bool shared = (folder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
  return !shared || link.st_uid == geteuid() || link.st_uid == folder.st_uid;
}

// The text of the link NAME in DIR.
bool ReadLink(int dir, const std::string& name, std::string* text) {
  std::vector<char> buf(PATH_MAX);
  ssize_t n = readlinkat(dir, name.c_str(), buf.data(), buf.size());
  if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return false;
  text->assign(buf.data(), static_cast<size_t>(n));
  return true;
}

bool IsNewFileOf(const std::string& target, const char* entry) {
  const size_t n = strlen(entry);
  if (n != target.size() + kTempMarkLength + kTempDigits) return false;
  if (memcmp(entry, target.data(), target.size()) != 0) return false;
  if (memcmp(entry + target.size(), kTempMark, kTempMarkLength) != 0) return false;
  for (size_t i = n - kTempDigits; i < n; ++i) {
    const char c = entry[i];
    if (!(isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Removes NAME from DIR when it is a regular file of this user that no
// live run holds: each run keeps a lock on its new file until the rename,
// so a file whose lock can be taken was left by a run that died.
void RemoveIfAbandoned(int dir, const char* name) {
  Fd fd(openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return;
  struct stat opened, named;
  if (fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_uid != geteuid()) {
    return;
  }
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return;  // a run is writing it
  // Still the file that was locked under that name.
  if (fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == opened.st_dev &&
      named.st_ino == opened.st_ino) {
    unlinkat(dir, name, 0);
  }
}

// Removes the new files that interrupted runs on TARGET left in DIR.  A
// folder that cannot be listed is left alone.
void RemoveLeftovers(int dir, const std::string& target) {
  int listing = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return;
  DIR* d = fdopendir(listing);
  if (d == nullptr) {
    close(listing);
    return;
  }
  std::vector<std::string> found;
  while (const dirent* e = readdir(d)) {
    if (IsNewFileOf(target, e->d_name)) found.emplace_back(e->d_name);
  }
  closedir(d);
  for (const std::string& name : found) RemoveIfAbandoned(dir, name.c_str());
}

}  // namespace

int OpenSourceFile(const char* path) noexcept {
  if (path == nullptr || *path == '\0') {
    errno = ENOENT;
    return -1;
  }
  // Checked before opening as well as after: opening a device can have
  // effects of its own.  O_NONBLOCK keeps a FIFO from waiting for a writer.
  struct stat st;
  if (stat(path, &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  Fd fd(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return -1;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return -1;
  return fd.release();
}

TargetFile::~TargetFile() { Discard(); }

bool TargetFile::Create(const char* path) noexcept try {
  Discard();
  if (path == nullptr || *path == '\0') return false;

  // Settle the folder and name the content goes to, one link at a time.
  // Each folder is opened by the kernel (which applies its own link rules
  // to the folders on the way); the last name is examined here.
  std::string current = path;
  Fd dir;
  int base = AT_FDCWD;  // a relative link is read from its own folder
  struct stat st {};
  bool exists = false;
  for (int hop = 0;; ++hop) {
    if (hop > kMaxLinks) return false;
    const size_t slash = current.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : slash == 0 ? "/" : current.substr(0, slash);
    std::string name = slash == std::string::npos ? current : current.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return false;
    int next = openat(base, folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (next < 0) return false;
    dir.reset(next);
    base = dir.get();
    if (fstatat(base, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return false;
      m_strName = std::move(name);
      break;  // a new target
    }
    if (S_ISREG(st.st_mode)) {
      exists = true;
      m_strName = std::move(name);
      break;
    }
    if (!S_ISLNK(st.st_mode) || !MayFollow(base, st)) return false;
    std::string text;
    if (!ReadLink(base, name, &text)) return false;
    current = std::move(text);
  }
  m_nMode = exists ? (st.st_mode & 07777) : (0666 & ~CurrentUmask());

  RemoveLeftovers(dir.get(), m_strName);
  for (int attempt = 0; attempt < 16; ++attempt) {
    unsigned char r[kTempDigits / 2];
    if (getrandom(r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) return false;
    std::string temp = m_strName + kTempMark;
    static constexpr char kHex[] = "0123456789abcdef";
    for (unsigned char b : r) {
      temp += kHex[b >> 4];
      temp += kHex[b & 15];
    }
    Fd fd(openat(dir.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 0600));
    if (fd.get() < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    // The lock marks the file as in use until Commit; a cleaner of another
    // run may have taken it between the creation and the lock.
    struct stat mine, named;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || fstat(fd.get(), &mine) != 0 ||
        fstatat(dir.get(), temp.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        mine.st_dev != named.st_dev || mine.st_ino != named.st_ino) {
      continue;
    }
    m_pFile = fdopen(fd.get(), "wb");
    if (m_pFile == nullptr) {
      unlinkat(dir.get(), temp.c_str(), 0);
      return false;
    }
    fd.release();
    m_strTemp = std::move(temp);
    m_nDir = dir.release();
    return true;
  }
  return false;
} catch (...) {
  return false;  // out of memory
}

bool TargetFile::Commit() noexcept {
  if (m_pFile == nullptr) return false;
  const int fd = fileno(m_pFile);
  bool ok = fflush(m_pFile) == 0 && !ferror(m_pFile) && fsync(fd) == 0 && fchmod(fd, m_nMode) == 0;
  // A second descriptor keeps the lock through the rename.
  Fd keep(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  ok = fclose(m_pFile) == 0 && ok;
  m_pFile = nullptr;
  ok = ok && keep.get() >= 0 &&
       renameat(m_nDir, m_strTemp.c_str(), m_nDir, m_strName.c_str()) == 0;
  if (ok) m_strTemp.clear();
  Discard();
  return ok;
}

void TargetFile::Discard() noexcept {
  if (m_pFile != nullptr) fclose(m_pFile);
  m_pFile = nullptr;
  if (m_nDir >= 0) {
    if (!m_strTemp.empty()) unlinkat(m_nDir, m_strTemp.c_str(), 0);
    close(m_nDir);
  }
  m_nDir = -1;
  m_strTemp.clear();
}

}  // namespace tolmix::platform
