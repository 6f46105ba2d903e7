#include "platform/Trace.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/Env.h"

namespace tolmix::platform {

bool TraceOn() {
  std::string v = Variable("TOLMIX_DEBUG");
  return !v.empty() && v != "0";
}

void Trace(const char* fmt, ...) {
  if (!TraceOn() || !fmt) return;
  char line[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  // One write per line, so lines of concurrent calls do not interleave.
  fprintf(stderr, "tolmix: %s\n", line);
}

}  // namespace tolmix::platform
