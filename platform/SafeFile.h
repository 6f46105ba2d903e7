// Files that members read and write on the user's behalf, opened so that
// no other local user can turn them against the user and no special file
// can hang or fool a call (docs/files.md):
//  - a source must be a regular file, and opening it never waits;
//  - a target is written only where it is absent or a regular file; a
//    symbolic link is followed only where the kernel's protected_symlinks
//    rule would follow it; the content goes to a new 0600 file beside the
//    target, which is renamed over it only when complete.
// Paths are file-system names (UTF-8; see FileName.h).
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>

namespace tolmix::platform {

// Opens PATH for reading when it names a regular file (symbolic links are
// followed as open(2) follows them).  A folder, FIFO, device or socket is
// refused at once, without waiting for a writer or reading a byte.
// Returns the descriptor (close-on-exec, blocking), or -1.
int OpenSourceFile(const char* path) noexcept;

// A target file.  Create settles where the content goes and opens a new
// file for it beside that place; Commit puts it there.  Until Commit
// succeeds the destructor removes the new file, so a failed call leaves an
// existing target as it was.
class TargetFile {
 public:
  TargetFile() = default;
  ~TargetFile();
  TargetFile(const TargetFile&) = delete;
  TargetFile& operator=(const TargetFile&) = delete;

  // Settles the place of PATH and opens the new file there.  PATH must be
  // absent or a regular file.  A symbolic link (up to 40 in a row) is
  // followed unless it sits in a sticky, world-writable folder and belongs
  // neither to this user nor to the folder's owner -- the rule of the
  // kernel's fs.protected_symlinks, applied whatever the setting.  Anything
  // else (folder, FIFO, device, socket, a link refused by the rule, a name
  // that ends in "/") is refused.  New files of an interrupted run on the
  // same target (left behind by a process that died) are removed first.
  // The new file is created 0600 and gets its final mode -- the target's
  // own, or 0666 less the umask for a new target -- only at Commit.  False
  // when the target is refused or the file cannot be made.
  bool Create(const char* path) noexcept;

  // The new file, open for writing (fully buffered by the caller's choice);
  // null before a successful Create.
  FILE* File() const noexcept { return m_pFile; }

  // Flushes the new file to disk, gives it its final mode and renames it
  // over the target.  False (and the new file removed) when any step fails.
  bool Commit() noexcept;

 private:
  void Discard() noexcept;

  int m_nDir = -1;            // the folder that holds the target
  std::string m_strName;      // the target's name in it
  std::string m_strTemp;      // the new file's name in it, until renamed
  FILE* m_pFile = nullptr;
  mode_t m_nMode = 0600;      // mode the target gets at Commit
};

}  // namespace tolmix::platform
