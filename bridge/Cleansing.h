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

// From now on every block this process frees is overwritten as it is
// freed (the allocator's free-time fill), so that no copy of a PIN left by
// a buffer that grew, a string that was dropped or a parser's scratch stays
// in the heap.  The broker and the workers call it first thing.
void WipeFreedMemory();

// Makes this process private: not dumpable (no core file; no process of
// the same user may read its memory or attach to it) and with a core size
// limit of 0, which the processes it starts inherit.
void KeepPrivate();

// Overwrites the stack below the caller (256 KiB): the frames of calls that
// held a PIN in local buffers.  Run where such a call has returned.
void WipeStackBelow();

}  // namespace tolmix::bridge
