#include "modules/capi/CapiErrors.h"

#include <cstdarg>

#include <openssl/err.h>

#include "modules/common/ModuleErrors.h"

namespace tolmix::capi {

int EngineErrorLibrary() {
  static const int library = ERR_get_next_error_library();
  return library;
}

void RaiseError(EngineReason reason, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  modules::PushModuleError(EngineErrorLibrary(), reason, "capi: ", fmt, ap);
  va_end(ap);
}

}  // namespace tolmix::capi
