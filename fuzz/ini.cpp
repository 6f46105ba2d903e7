// ReadIniString over any file content: every read leaves a NUL-terminated
// text of at most SIZE - 1 bytes whose length is the result, whatever the
// lines hold (long lines, CR, NUL bytes, quotes, unmatched brackets).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "util/IniReader.h"

namespace {

void CheckRead(const char* section, const char* key, const char* def, int size,
               const std::string& path) {
  std::vector<char> out(static_cast<size_t>(size) + 16, '\x7F');
  const int n = tolmix::ReadIniString(section, key, def, out.data(), size, path.c_str());
  if (n < 0 || n >= size) abort();
  if (out[static_cast<size_t>(n)] != '\0' || strlen(out.data()) != static_cast<size_t>(n)) abort();
  for (size_t i = static_cast<size_t>(size); i < out.size(); ++i) {
    if (out[i] != '\x7F') abort();  // nothing written past SIZE bytes
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tolmix::fuzz::UseSandbox();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tolmix::fuzz::Reader in(data, size);
  const int bufSize = 1 + in.Byte() % 40 + (in.Byte() & 1) * 300;
  std::string section(in.Bytes(40));
  std::string key(in.Bytes(40));
  std::string_view content = in.Rest();

  const std::string path = tolmix::fuzz::UseSandbox() + "/fuzz.ini";
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) abort();
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);

  CheckRead(section.c_str(), key.c_str(), "default", bufSize, path);
  CheckRead("DeviceCount", "DeviceCount", "", tolmix::kDeviceCountSize, path);
  CheckRead("Device_1", "DLLName", nullptr, tolmix::kDllNameSize, path);
  CheckRead("", "DLLName", "", 1, path);
  for (const std::string& name : tolmix::ReadDeviceListFile(path.c_str())) {
    if (name.empty() || name.size() >= static_cast<size_t>(tolmix::kDllNameSize)) abort();
  }
  return 0;
}
