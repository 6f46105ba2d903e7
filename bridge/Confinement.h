// Files named by a web page stay inside that origin's own folder.
//
// A page passes paths written for the platform the control came from
// ("C:\work\a.txt") or relative ones ("a.txt"); both name a file inside the
// folder: "\" is read as "/", a drive letter is dropped, the rest is taken
// from the folder.  An absolute path is accepted only when it already lies
// inside the folder.  Refused: NUL anywhere, a ".." part, an absolute path
// elsewhere, a UNC path ("\\server\share"), a name that leaves no file, and
// any symbolic link on the way (folders are opened one by one with
// O_NOFOLLOW, the file itself too).
//
// The control then receives a path through the descriptors opened here
// ("/proc/self/fd/N"), so what it opens is what was checked, whatever is
// renamed in the meantime: a file read is opened here; a file written is
// made here under a temporary name in the checked folder (O_EXCL,
// O_NOFOLLOW: nothing swapped in is followed) and renamed over its name,
// relative to the folder's descriptor, once the member has succeeded
// (Finish).  A name ending in "/" names a folder and is refused.  The
// descriptors live as long as the MappedPath.
//
// Only a regular file with one link is read or replaced: a FIFO, a device
// or a hard link to a file elsewhere is refused (opened O_NONBLOCK, so a
// FIFO never holds the worker up).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tolmix::bridge {

enum class PathUse { kRead, kWrite };

// An open descriptor, closed when it goes.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  UniqueFd& operator=(UniqueFd&& o) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

struct MappedPath {
  std::string path;  // what the control is given
  UniqueFd fd;       // the folder or file PATH goes through
  // A file written: made under TEMP in DIR, renamed over LEAF by Finish.
  UniqueFd dir;
  std::string temp, leaf;
  bool existed = false;   // a file of that name was there (and is replaced)
  uint64_t replaced = 0;  // its size
};

// What a folder holds: the bytes of its files and the entries (files,
// folders and anything else), sub-folders included.
struct FolderUsage {
  uint64_t bytes = 0;
  uint64_t entries = 0;
};

// The relative parts a page's path names inside the folder, or false with
// *WHY when it is refused by the rules above (no file system access).
// ROOT is the folder's absolute path (to recognise absolute paths inside).
bool SplitPagePath(std::string_view text, std::string_view root, std::vector<std::string>* parts,
                   std::string* why);

class Confinement {
 public:
  // ROOT: the origin's folder, created (0700) when missing.
  explicit Confinement(std::string root);
  bool ok() const { return root_.get() >= 0; }
  const std::string& root() const { return rootPath_; }

  // Maps TEXT (UTF-8, as the page wrote it) for USE.  False with *WHY when
  // it is refused or (reads) the file cannot be opened.
  bool Map(std::string_view text, PathUse use, MappedPath* out, std::string* why) const;

  // Opens (in *DIR) the folder that holds the file named by PARTS (from
  // SplitPagePath; the last part is the file), each folder on the way with
  // O_NOFOLLOW; missing folders are made when CREATE.  False with *WHY.
  bool OpenParent(const std::vector<std::string>& parts, bool create, UniqueFd* dir,
                  std::string* why) const;

  // A file written through M: renamed over its name when KEEP, else removed.
  // False (and removed) when the rename fails.
  static bool Finish(MappedPath& m, bool keep);

  // What the folder holds (links are not followed).  A walk of the whole
  // tree: callers keep the answer (bridge/SiteFolder.h).
  FolderUsage Usage() const;

 private:
  std::string rootPath_;
  UniqueFd root_;
};

}  // namespace tolmix::bridge
