#include "bridge/Confinement.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bridge/Files.h"

namespace tolmix::bridge {

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) close(fd_);
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) close(fd_);
}

bool SplitPagePath(std::string_view text, std::string_view root, std::vector<std::string>* parts,
                   std::string* why) {
  parts->clear();
  if (text.find('\0') != std::string_view::npos) {
    *why = "the path holds a NUL character";
    return false;
  }
  std::string path(text);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  std::string_view rest = path;
  if (rest.ends_with("/")) {
    *why = "a name ending in \"/\" names a folder";
    return false;
  }
  if (rest.starts_with("//")) {
    *why = "network paths are not served";
    return false;
  }
  const bool drive = rest.size() >= 2 && rest[1] == ':' &&
                     ((rest[0] >= 'A' && rest[0] <= 'Z') || (rest[0] >= 'a' && rest[0] <= 'z'));
  if (drive) {
    rest.remove_prefix(2);
  } else if (rest.starts_with("/")) {
    std::string prefix = std::string(root) + "/";
    if (root.empty() || !rest.starts_with(prefix)) {
      *why = "absolute paths outside the site's folder are refused";
      return false;
    }
    rest.remove_prefix(prefix.size());
  }
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      *why = "\"..\" is refused";
      return false;
    }
    parts->emplace_back(part);
  }
  if (parts->empty()) {
    *why = "the path names no file";
    return false;
  }
  return true;
}

Confinement::Confinement(std::string root) : rootPath_(std::move(root)) {
  std::string error;
  if (!MakeFolders(rootPath_, &error)) return;
  root_ = UniqueFd(open(rootPath_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

bool Confinement::OpenParent(const std::vector<std::string>& parts, bool create, UniqueFd* dir,
                             std::string* why) const {
  UniqueFd at(fcntl(root_.get(), F_DUPFD_CLOEXEC, 0));
  if (at.get() < 0) {
    *why = std::string("cannot open the site's folder: ") + strerror(errno);
    return false;
  }
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    const char* name = parts[i].c_str();
    if (create && mkdirat(at.get(), name, 0700) != 0 && errno != EEXIST) {
      *why = "cannot make folder \"" + parts[i] + "\": " + strerror(errno);
      return false;
    }
    UniqueFd next(openat(at.get(), name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (next.get() < 0) {
      *why = errno == ELOOP || errno == ENOTDIR ? "\"" + parts[i] + "\" is a link or no folder"
                                                : "no folder \"" + parts[i] + "\"";
      return false;
    }
    at = std::move(next);
  }
  *dir = std::move(at);
  return true;
}

bool Confinement::Map(std::string_view text, PathUse use, MappedPath* out,
                      std::string* why) const {
  if (!ok()) {
    *why = "the site's folder " + rootPath_ + " cannot be opened";
    return false;
  }
  std::vector<std::string> parts;
  if (!SplitPagePath(text, rootPath_, &parts, why)) return false;
  UniqueFd dir;
  if (!OpenParent(parts, false, &dir, why)) return false;
  const std::string& leaf = parts.back();
  if (use == PathUse::kRead) {
    UniqueFd file(openat(dir.get(), leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
      *why = errno == ELOOP ? "\"" + leaf + "\" is a link" : "cannot open \"" + leaf + "\"";
      return false;
    }
    struct stat st;
    if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      *why = "\"" + leaf + "\" is not a file";
      return false;
    }
    if (st.st_nlink != 1) {
      *why = "\"" + leaf + "\" has other names (a hard link)";
      return false;
    }
    out->path = "/proc/self/fd/" + std::to_string(file.get());
    out->fd = std::move(file);
    return true;
  }
  struct stat st;
  if (fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(st.st_mode)) {
      *why = "\"" + leaf + "\" exists and is not a file";
      return false;
    }
    if (st.st_nlink != 1) {
      *why = "\"" + leaf + "\" has other names (a hard link)";
      return false;
    }
    out->existed = true;
    out->replaced = static_cast<uint64_t>(st.st_size);
  }
  unsigned char random[8];
  if (getentropy(random, sizeof random) != 0) {
    *why = "no random name for a temporary file";
    return false;
  }
  std::string temp = ".tolmix-";
  for (unsigned char b : random) temp += "0123456789abcdef"[b >> 4], temp += "0123456789abcdef"[b & 15];
  UniqueFd file(openat(dir.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                       0666));
  if (file.get() < 0) {
    *why = "cannot make \"" + leaf + "\": " + strerror(errno);
    return false;
  }
  out->path = "/proc/self/fd/" + std::to_string(file.get());
  out->fd = std::move(file);
  out->dir = std::move(dir);
  out->temp = std::move(temp);
  out->leaf = leaf;
  return true;
}

bool Confinement::Finish(MappedPath& m, bool keep) {
  if (m.temp.empty() || m.dir.get() < 0) return true;
  bool ok = keep && renameat(m.dir.get(), m.temp.c_str(), m.dir.get(), m.leaf.c_str()) == 0;
  if (!ok) unlinkat(m.dir.get(), m.temp.c_str(), 0);
  m.temp.clear();
  return ok || !keep;
}

namespace {

void CountUnder(int dirFd, int depth, FolderUsage* total) {
  const int fd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* d = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!d) {
    if (fd >= 0) close(fd);
    return;
  }
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    ++total->entries;
    if (S_ISREG(st.st_mode)) total->bytes += static_cast<uint64_t>(st.st_size);
    if (S_ISDIR(st.st_mode) && depth < 32) {
      UniqueFd sub(openat(dirfd(d), e->d_name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (sub.get() >= 0) CountUnder(sub.get(), depth + 1, total);
    }
  }
  closedir(d);
}

}  // namespace

FolderUsage Confinement::Usage() const {
  FolderUsage total;
  if (ok()) CountUnder(root_.get(), 0, &total);
  return total;
}

}  // namespace tolmix::bridge
