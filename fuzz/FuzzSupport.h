// Shared pieces of the fuzz targets: a sandbox environment in which no
// device, store, registry or log of the machine can be reached, and a small
// reader that takes typed values from the fuzzer's bytes.
//
// Every target calls UseSandbox() once before its first input.  The
// variables are overwritten, never merely defaulted: a developer whose
// shell points TOLMIX_SYSTEM_DIR at real device modules still fuzzes
// against an empty folder.
#pragma once

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace tolmix::fuzz {

inline std::string& SandboxPath() {
  static std::string path;
  return path;
}

// Removes the sandbox and everything the targets left in it.
inline void RemoveSandbox() {
  if (SandboxPath().empty() || chdir("/") != 0) return;
  nftw(
      SandboxPath().c_str(),
      [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

// Makes a fresh empty folder under $TMPDIR (or /tmp) and points the
// system, store, log and registry folders into it; the chooser answers
// "cancel" and no display is used.  The working folder becomes the sandbox
// too, so relative paths a target produces stay inside it.  Returns the
// sandbox path (valid for the process's life; removed at exit).
inline const std::string& UseSandbox() {
  static const std::string dir = [] {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tolmix-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) abort();
    const std::string system = pattern + "/system";
    const std::string store = pattern + "/store";
    const std::string log = pattern + "/log";
    for (const std::string& d : {system, store, log}) {
      if (mkdir(d.c_str(), 0700) != 0) abort();
    }
    setenv("TOLMIX_SYSTEM_DIR", system.c_str(), 1);
    setenv("TOLMIX_STORE_DIR", store.c_str(), 1);
    setenv("TOLMIX_LOG_DIR", log.c_str(), 1);
    setenv("TOLMIX_REGISTRY", (pattern + "/registry.ini").c_str(), 1);
    setenv("TOLMIX_SKF_TOKEN_DIR", (pattern + "/skf").c_str(), 1);
    setenv("TOLMIX_CHOOSER", "cancel", 1);
    setenv("TOLMIX_OPEN_COMMAND", "true", 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    if (chdir(pattern.c_str()) != 0) abort();
    SandboxPath() = pattern;
    atexit(RemoveSandbox);
    return pattern;
  }();
  return dir;
}

// Takes values from the front of the fuzzer's input; once it runs dry every
// read yields zeros or empty texts, so a target never reads past its input.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), left_(size) {}

  size_t Left() const { return left_; }

  uint8_t Byte() {
    if (left_ == 0) return 0;
    --left_;
    return *p_++;
  }
  uint16_t U16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  uint32_t U32() { return static_cast<uint32_t>(U16()) | (static_cast<uint32_t>(U16()) << 16); }

  // Up to MAX bytes; the count comes from the input.
  std::string_view Bytes(size_t max) {
    size_t n = std::min<size_t>(Byte() | (Byte() << 8), std::min(max, left_));
    std::string_view s(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    left_ -= n;
    return s;
  }

  // Everything that is left.
  std::string_view Rest() {
    std::string_view s(reinterpret_cast<const char*>(p_), left_);
    p_ += left_;
    left_ = 0;
    return s;
  }

 private:
  const uint8_t* p_;
  size_t left_;
};

}  // namespace tolmix::fuzz
