// The user's private folder for temporary files: the stand-in for the
// temporary directory of the user's profile (GetTempPathA), which on the
// original platform belongs to the user alone.  The shared /tmp is not:
// another local user could plant a link or a file of their own under a
// fixed name there.
#pragma once

#include <string>

namespace tolmix::platform {

// Opens the private folder: "$XDG_RUNTIME_DIR/tolmix" when RuntimeDir() is
// set and is a folder of this user's closed to others, else
// TempDir() + "tolmix-<uid>".  The folder is made 0700 when missing and is
// used only when it is a real folder (not a link) owned by this user; one
// of ours that others may enter is narrowed to 0700.  Returns a descriptor
// of the folder (close-on-exec) and its path in *PATH, or -1 (the folder
// belongs to someone else, is a link, or cannot be made).
int OpenPrivateTempDir(std::string* path);

// Creates the file NAME afresh in the private folder: whatever held that
// name is removed first, and the new file is made with O_CREAT | O_EXCL |
// O_NOFOLLOW and mode 0600.  Returns the descriptor, open for writing, and
// the file's path in *PATH; -1 on failure.
int CreatePrivateTempFile(const char* name, std::string* path);

}  // namespace tolmix::platform
