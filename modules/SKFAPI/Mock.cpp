// Test build only (compiled into SKFAPI_mock.so with TOLMIX_SKF_MOCK): the
// call record and the forced failures.  Both are driven by variables read
// on every call, so a test may change them between calls:
//   SKFAPI_MOCK_LOG   file that receives one line per call: "NAME 0xXXXXXXXX"
//                     (the result in upper-case hex, 8 digits); appended to.
//   SKFAPI_MOCK_FAIL  "NAME=CODE[,NAME=CODE...]": the named calls return CODE
//                     (C notation: 0x0A000023, or decimal) without running.
// Neither ever sees an argument of the call, so no PIN or key reaches a file.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "modules/SKFAPI/Internal.h"

namespace skfapi::mock {

bool Forced(const char* name, ULONG* code) {
  const char* failList = getenv("SKFAPI_MOCK_FAIL");
  if (!failList || !name) return false;
  const size_t nameLen = strlen(name);
  for (const char* p = failList; *p;) {
    const char* end = p + strcspn(p, ",;");
    const char* eq = static_cast<const char*>(memchr(p, '=', static_cast<size_t>(end - p)));
    if (eq && static_cast<size_t>(eq - p) == nameLen && strncmp(p, name, nameLen) == 0) {
      *code = static_cast<ULONG>(strtoul(eq + 1, nullptr, 0));
      return true;
    }
    p = *end ? end + 1 : end;
  }
  return false;
}

ULONG Record(const char* name, ULONG code) {
  const char* path = getenv("SKFAPI_MOCK_LOG");
  if (path && *path) {
    if (FILE* f = fopen(path, "ae")) {
      fprintf(f, "%s 0x%08X\n", name, static_cast<unsigned>(code));
      fclose(f);
    }
  }
  return code;
}

}  // namespace skfapi::mock
