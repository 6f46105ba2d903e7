#include "modules/common/ModuleErrors.h"

#include <cstdio>

#include <openssl/err.h>

namespace tolmix::modules {

void PushModuleError(int library, int reason, const char* prefix, const char* fmt, va_list ap) {
  char text[512];
  int n = snprintf(text, sizeof text, "%s", prefix);
  if (n < 0 || static_cast<size_t>(n) >= sizeof text) n = 0;
  vsnprintf(text + n, sizeof text - n, fmt, ap);
  ERR_new();
  ERR_set_debug(OPENSSL_FILE, OPENSSL_LINE, OPENSSL_FUNC);
  ERR_set_error(library, reason, "%s", text);
}

}  // namespace tolmix::modules
