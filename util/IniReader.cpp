#include "util/IniReader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "util/FixedText.h"

namespace tolmix {
namespace {

// One read takes at most 511 bytes into a 512-byte buffer; a longer line is
// continued by the next read as if it were a new line.
constexpr int kLineBufferSize = 512;

struct FileCloser {
  void operator()(FILE* f) const noexcept { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Reads the next line (up to and including its LF, at most
// kLineBufferSize - 1 bytes) into BUF as a NUL-terminated text.  CR LF is
// read as LF.  False at the end of the file when nothing was read.
// The file is this call's alone, so its stream is read without the
// per-character locking of getc.
bool ReadLine(FILE* f, char (&buf)[kLineBufferSize]) {
  int n = 0;
  while (n < kLineBufferSize - 1) {
    int c = getc_unlocked(f);
    if (c == EOF) break;
    if (c == '\r') {
      int next = getc_unlocked(f);
      if (next == '\n') {
        c = '\n';
      } else if (next != EOF) {
        ungetc(next, f);
      }
    }
    buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  buf[n] = '\0';
  return n > 0;
}

const char* SkipBlanks(const char* p) {
  while (*p == ' ') ++p;
  return p;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// True when the LEN bytes at A equal B (exactly LEN bytes long) ignoring
// ASCII case.
bool EqualsIgnoreCase(const char* a, size_t len, std::string_view b) {
  if (len != b.size()) return false;
  for (size_t i = 0; i < len; ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// True when LINE is the header of SECTION: "[" first after blanks, and the
// first "]" right after a text equal to SECTION.
bool IsWantedHeader(const char* line, std::string_view section) {
  const char* p = SkipBlanks(line);
  if (*p != '[') return false;
  const char* close = strchr(p, ']');
  if (close == nullptr) return false;
  return EqualsIgnoreCase(p + 1, static_cast<size_t>(close - p - 1), section);
}

// The value of a key line: the text after SEP up to the LF, blanks around
// it removed, then one pair of enclosing double quotes removed.
std::string_view ValueAfter(const char* sep) {
  const char* v = SkipBlanks(sep + 1);
  const char* end = strchr(v, '\n');
  if (end == nullptr) end = v + strlen(v);
  while (end > v && end[-1] == ' ') --end;
  std::string_view value(v, static_cast<size_t>(end - v));
  if (!value.empty() && value.front() == '"' && value.back() == '"') {
    value = value.size() == 1 ? std::string_view() : value.substr(1, value.size() - 2);
  }
  return value;
}

// Searches FILE from its current position for KEY, up to the next header.
// Stores the value in *VALUE (pointing into BUF) and returns true when found.
bool FindKey(FILE* f, std::string_view key, char (&buf)[kLineBufferSize],
             std::string_view* value) {
  while (ReadLine(f, buf)) {
    const char* p = SkipBlanks(buf);
    if (*p == '[') return false;
    if (*p == ';' || *p == '#') continue;
    const char* sep = strchr(p, '=');
    if (sep == nullptr) sep = strchr(p, ':');
    if (sep == nullptr) continue;
    const char* keyEnd = sep;
    while (keyEnd > p && keyEnd[-1] == ' ') --keyEnd;
    if (!EqualsIgnoreCase(p, static_cast<size_t>(keyEnd - p), key)) continue;
    *value = ValueAfter(sep);
    return true;
  }
  return false;
}

}  // namespace

int ReadIniString(const char* section, const char* key, const char* def, char* out,
                  int size, const char* path) {
  if (out == nullptr || size <= 0 || key == nullptr) return 0;
  const size_t outSize = static_cast<size_t>(size);

  FilePtr f(path ? fopen(path, "r") : nullptr);
  if (f) {
    char buf[kLineBufferSize];
    std::string_view wanted = section ? section : "";
    bool inSection = wanted.empty();
    while (!inSection && ReadLine(f.get(), buf)) inSection = IsWantedHeader(buf, wanted);
    std::string_view value;
    if (inSection && FindKey(f.get(), key, buf, &value)) {
      return static_cast<int>(CopyBounded(out, outSize, value));
    }
  }
  return static_cast<int>(CopyBounded(out, outSize, def));
}

std::string SystemFilePath(const std::string& systemDir, const char* file) {
  std::string path = systemDir;
  path += '/';
  if (file) path += file;
  return path;
}

std::vector<std::string> ReadDeviceListFile(const char* path) {
  std::vector<std::string> names;
  char count[kDeviceCountSize];
  if (ReadIniString("DeviceCount", "DeviceCount", "", count, sizeof count, path) == 0) {
    return names;
  }
  // atol rules (leading blanks, sign, digits), without atol's undefined
  // behaviour on overflow: strtol clamps.
  long n = strtol(count, nullptr, 10);
  for (long i = 1; i <= n; ++i) {
    char section[32];
    FormatBounded(section, "Device_%ld", i);
    char dllName[kDllNameSize];
    if (ReadIniString(section, "DLLName", "", dllName, sizeof dllName, path) == 0) break;
    names.emplace_back(dllName);
  }
  return names;
}

std::vector<std::string> ReadDeviceList(const std::string& systemDir, const char* file) {
  return ReadDeviceListFile(SystemFilePath(systemDir, file).c_str());
}

}  // namespace tolmix
