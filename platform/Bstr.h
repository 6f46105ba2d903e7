// BSTR: the UTF-16 string type of the dispatch interface.  A BSTR points at
// the first character of a block that also holds the text's length (in
// front of the characters) and a terminating NUL (after them), so a BSTR
// may carry NUL characters inside it and is still usable as a C string.  A
// null BSTR is a valid value and means the empty text.
//
// Ownership: whoever receives a BSTR from SysAllocString* owns it and frees
// it with SysFreeString (a VARIANT of type VT_BSTR does that itself).
#pragma once

#include <cstdint>
#include <string_view>

namespace tolmix::platform {

using OLECHAR = char16_t;
using BSTR = OLECHAR*;

// Allocates a BSTR holding LEN characters copied from TEXT (TEXT may be
// null: the characters are then zero).  Null when memory runs out.
BSTR SysAllocStringLen(const OLECHAR* text, uint32_t len) noexcept;

// Allocates a BSTR copy of the NUL-terminated TEXT; null TEXT gives null.
BSTR SysAllocString(const OLECHAR* text) noexcept;

// Allocates a BSTR copy of TEXT (which may hold NULs).  Null when memory
// runs out or TEXT does not fit a 32-bit length.
BSTR SysAllocString(std::u16string_view text) noexcept;

// Frees S; null is allowed.
void SysFreeString(BSTR s) noexcept;

// Number of characters in S, NULs inside included; 0 for null.
uint32_t SysStringLen(const OLECHAR* s) noexcept;

// The whole text of S (NULs inside included); empty for null.
inline std::u16string_view BstrView(const OLECHAR* s) noexcept {
  return s ? std::u16string_view(s, SysStringLen(s)) : std::u16string_view();
}

// Owns one BSTR and frees it when it goes.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(BSTR owned) noexcept : s_(owned) {}
  ~Bstr() { SysFreeString(s_); }
  Bstr(Bstr&& other) noexcept : s_(other.Release()) {}
  Bstr& operator=(Bstr&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;

  BSTR get() const noexcept { return s_; }
  std::u16string_view view() const noexcept { return BstrView(s_); }
  // Gives up ownership: the caller frees the result.
  BSTR Release() noexcept {
    BSTR s = s_;
    s_ = nullptr;
    return s;
  }
  void Reset(BSTR owned = nullptr) noexcept {
    SysFreeString(s_);
    s_ = owned;
  }

 private:
  BSTR s_ = nullptr;
};

}  // namespace tolmix::platform
