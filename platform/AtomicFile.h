// Whole-file replacement that readers never see half done.
#pragma once

#include <string>
#include <string_view>

namespace tolmix::platform {

// Replaces PATH with BYTES: a temporary file beside it (0600 from its
// creation, so no one else can open it meanwhile), written, given MODE,
// flushed to disk and renamed over PATH.  True on success; false with
// *ERROR naming PATH and the reason, the temporary file removed and PATH
// as it was.
bool WriteFileAtomic(const std::string& path, std::string_view bytes, unsigned mode,
                     std::string* error);

}  // namespace tolmix::platform
