#include "modules/pkcs11_rsa_key/EngineErrors.h"

#include <cstdarg>

#include <openssl/err.h>

#include "modules/common/ModuleErrors.h"

namespace tolmix::p11 {

int EngineErrorLibrary() {
  static const int library = ERR_get_next_error_library();
  return library;
}

int CkrErrorLibrary() {
  static const int library = ERR_get_next_error_library();
  return library;
}

namespace {
void PushCkr(int reason, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void PushCkr(int reason, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  modules::PushModuleError(CkrErrorLibrary(), reason, "pkcs11_rsa_key: ", fmt, ap);
  va_end(ap);
}
}  // namespace

void RaiseCkr(const char* function, unsigned long rv) {
  PushCkr(static_cast<int>(rv & ERR_REASON_MASK), "%s returned CKR 0x%08lX", function, rv);
}

void RaiseError(EngineReason reason, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  modules::PushModuleError(EngineErrorLibrary(), reason, "pkcs11_rsa_key: ", fmt, ap);
  va_end(ap);
}

}  // namespace tolmix::p11
