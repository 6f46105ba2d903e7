#include "modules/pkcs11_rsa_key/EngineErrors.h"

#include <cstdarg>

#include <openssl/err.h>

#include "modules/common/ModuleErrors.h"

namespace tolmix::p11 {

int EngineErrorLibrary() {
  static const int library = ERR_get_next_error_library();
  return library;
}

void RaiseError(EngineReason reason, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  modules::PushModuleError(EngineErrorLibrary(), reason, "pkcs11_rsa_key: ", fmt, ap);
  va_end(ap);
}

}  // namespace tolmix::p11
