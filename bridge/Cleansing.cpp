#include "bridge/Cleansing.h"

#include <malloc.h>
#include <sys/prctl.h>
#include <sys/resource.h>

namespace tolmix::bridge {

void WipeFreedMemory() {
  // glibc fills each block it frees with this byte (and each block it hands
  // out with its complement).  Sanitizer builds have an allocator of their
  // own, which ignores it.
  mallopt(M_PERTURB, 0x5a);
}

void KeepPrivate() {
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const rlimit none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
}

__attribute__((noinline)) void WipeStackBelow() {
  volatile unsigned char area[256 * 1024];
  OPENSSL_cleanse(const_cast<unsigned char*>(area), sizeof area);
  __asm__ __volatile__("" : : "r"(area) : "memory");
}

}  // namespace tolmix::bridge
