// Small file helpers of the bridge: whole-file reads and atomic writes.
#pragma once

#include <string>

namespace tolmix::bridge {

// Reads PATH whole into *OUT.  A missing file is false with errno ENOENT
// and *ERROR set; callers that treat it as empty check errno.
bool ReadWholeFile(const std::string& path, std::string* out, std::string* error);

// Writes BYTES to PATH through a temporary file beside it (mode MODE from
// the start) that is synced and renamed over PATH, so a reader sees the old
// file or the new one, never half of one.  Missing folders above PATH are
// made 0700.  False with *ERROR; PATH is then unchanged.
bool WriteFileAtomic(const std::string& path, const std::string& bytes, unsigned mode,
                     std::string* error);

// Makes DIR and the folders above it (0700 each).  False with *ERROR.
bool MakeFolders(const std::string& dir, std::string* error);

}  // namespace tolmix::bridge
