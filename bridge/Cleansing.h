// An allocator that wipes what it held (OPENSSL_cleanse) before giving it
// back: the broker reads request bodies that carry PINs (SetPasswd) into
// memory of this kind, so no copy of a PIN outlives its request.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <memory>

namespace tolmix::bridge {

template <class T>
struct CleansingAllocator {
  using value_type = T;
  CleansingAllocator() = default;
  template <class U>
  CleansingAllocator(const CleansingAllocator<U>&) {}  // NOLINT: rebinding is implicit
  T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, size_t n) {
    OPENSSL_cleanse(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  template <class U>
  bool operator==(const CleansingAllocator<U>&) const { return true; }
  template <class U>
  bool operator!=(const CleansingAllocator<U>&) const { return false; }
};

}  // namespace tolmix::bridge
