// Errors of an engine module on OpenSSL's error queue, shared by the three
// engine modules.
//
// Each module takes its own library number once per load
// (ERR_get_next_error_library) and pushes one entry per failure: that
// number, the module's reason code, and a data text that starts with the
// module's prefix ("gmEngine: ", ...).  No string table is registered, so
// nothing on the queue or in OpenSSL's tables points into a module after it
// is unloaded.
#pragma once

#include <cstdarg>

namespace tolmix::modules {

// Pushes REASON of LIBRARY with PREFIX followed by FMT formatted with AP; the
// text is cut at 511 bytes.
void PushModuleError(int library, int reason, const char* prefix, const char* fmt, va_list ap);

}  // namespace tolmix::modules
