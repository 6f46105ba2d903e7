// LoadLibraryA / GetProcAddress / FreeLibrary.  The path is ANSI text of
// the system code page, as the device list files give it.
#include "platform/DynamicLibrary.h"

#include <windows.h>

namespace tolmix::platform {

const char* SharedLibrarySuffix() noexcept { return ".dll"; }

bool DynamicLibrary::Load(const std::string& path) {
  Unload();
  error_.clear();
  if (path.empty()) {
    error_ = "empty library path";
    return false;
  }
  // No error box for a missing dependency: the call fails as a value.
  const UINT old = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
  const DWORD err = GetLastError();
  SetErrorMode(old);
  if (handle_ == nullptr) {
    error_ = "LoadLibraryA failed, error " + std::to_string(err);
    return false;
  }
  return true;
}

void DynamicLibrary::Unload() noexcept {
  if (handle_ != nullptr) {
    FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = nullptr;
  }
}

void* DynamicLibrary::Symbol(const char* name) const noexcept {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

}  // namespace tolmix::platform
