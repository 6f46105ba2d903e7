#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

namespace tolmix::platform {

const char* SharedLibrarySuffix() noexcept { return ".so"; }

bool DynamicLibrary::Load(const std::string& path) {
  Unload();
  error_.clear();
  // dlopen("") would hand back the main program rather than fail.
  if (path.empty()) {
    error_ = "empty library path";
    return false;
  }
  dlerror();
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* e = dlerror();
    error_ = e ? e : "dlopen failed";
    return false;
  }
  return true;
}

void DynamicLibrary::Unload() noexcept {
  if (handle_ != nullptr) {
    dlclose(handle_);
    handle_ = nullptr;
  }
}

void* DynamicLibrary::Symbol(const char* name) const noexcept {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  return dlsym(handle_, name);
}

}  // namespace tolmix::platform
