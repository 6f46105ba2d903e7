// A loaded shared library (dlopen / dlsym / dlclose): the stand-in for
// LoadLibraryA / GetProcAddress / FreeLibrary.  Move-only; the destructor
// unloads the library.
#pragma once

#include <string>
#include <utility>

namespace tolmix::platform {

// File-name suffix of this platform's shared libraries and modules:
// ".so", ".dll" on Windows.
const char* SharedLibrarySuffix() noexcept;

class DynamicLibrary {
 public:
  DynamicLibrary() noexcept = default;
  ~DynamicLibrary() { Unload(); }
  DynamicLibrary(DynamicLibrary&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)), error_(std::move(other.error_)) {}
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
      Unload();
      handle_ = std::exchange(other.handle_, nullptr);
      error_ = std::move(other.error_);
    }
    return *this;
  }
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Loads PATH (RTLD_NOW | RTLD_LOCAL).  False on failure; Error() then holds
  // dlerror's text.  An already loaded library is unloaded first.
  bool Load(const std::string& path);
  void Unload() noexcept;
  bool IsLoaded() const noexcept { return handle_ != nullptr; }
  const std::string& Error() const noexcept { return error_; }

  // Address of an exported symbol, or nullptr.
  void* Symbol(const char* name) const noexcept;
  template <class F>
  F Resolve(const char* name) const noexcept {
    return reinterpret_cast<F>(Symbol(name));
  }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

}  // namespace tolmix::platform
