#include "modules/gmEngine/EngineErrors.h"

#include <cstdarg>
#include <cstdio>

#include <openssl/err.h>

namespace tolmix::gm {

int EngineErrorLibrary() {
  static const int library = ERR_get_next_error_library();
  return library;
}

void RaiseError(EngineReason reason, const char* fmt, ...) {
  char text[256];
  int n = snprintf(text, sizeof text, "gmEngine: ");
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text + n, sizeof text - n, fmt, ap);
  va_end(ap);
  ERR_new();
  ERR_set_debug(OPENSSL_FILE, OPENSSL_LINE, OPENSSL_FUNC);
  ERR_set_error(EngineErrorLibrary(), reason, "%s", text);
}

}  // namespace tolmix::gm
