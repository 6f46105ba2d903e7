// BSTR blocks: [uint32 length in bytes][characters][NUL character].  The
// length in front is in bytes, as on the platform the layout comes from.
#include "platform/Bstr.h"

#include <cstring>
#include <limits>
#include <new>

namespace tolmix::platform {
namespace {

constexpr size_t kHeader = sizeof(uint32_t);

uint32_t* HeaderOf(const OLECHAR* s) {
  return reinterpret_cast<uint32_t*>(
      const_cast<char*>(reinterpret_cast<const char*>(s)) - kHeader);
}

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, uint32_t len) noexcept {
  // The byte length must fit the 32-bit header.
  if (len > (std::numeric_limits<uint32_t>::max() - kHeader) / sizeof(OLECHAR) - 1) {
    return nullptr;
  }
  size_t bytes = size_t{len} * sizeof(OLECHAR);
  void* block = ::operator new(kHeader + bytes + sizeof(OLECHAR), std::nothrow);
  if (block == nullptr) return nullptr;
  uint32_t byteLen = static_cast<uint32_t>(bytes);
  memcpy(block, &byteLen, kHeader);
  BSTR s = reinterpret_cast<BSTR>(static_cast<char*>(block) + kHeader);
  if (text != nullptr) {
    if (bytes) memcpy(s, text, bytes);
  } else {
    memset(s, 0, bytes);
  }
  s[len] = u'\0';
  return s;
}

BSTR SysAllocString(const OLECHAR* text) noexcept {
  if (text == nullptr) return nullptr;
  return SysAllocString(std::u16string_view(text));
}

BSTR SysAllocString(std::u16string_view text) noexcept {
  if (text.size() > std::numeric_limits<uint32_t>::max()) return nullptr;
  return SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
}

void SysFreeString(BSTR s) noexcept {
  if (s == nullptr) return;
  ::operator delete(HeaderOf(s));
}

uint32_t SysStringLen(const OLECHAR* s) noexcept {
  if (s == nullptr) return 0;
  uint32_t byteLen;
  memcpy(&byteLen, HeaderOf(s), kHeader);
  return byteLen / sizeof(OLECHAR);
}

}  // namespace tolmix::platform
