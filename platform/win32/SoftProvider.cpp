// The installed CryptoAPI providers: CryptEnumProvidersA itself.  (The soft
// providers' folders and key files of Linux do not exist on Windows; the
// keys live in the providers' own containers, Store.cpp.)
#include "platform/SoftProvider.h"

#include <windows.h>
#include <wincrypt.h>

namespace tolmix::platform {

bool EnumSoftProvider(unsigned index, char* name, unsigned* size) {
  DWORD type = 0;
  DWORD len = name ? *size : 0;
  if (!CryptEnumProvidersA(index, nullptr, 0, &type, name, &len)) {
    if (GetLastError() != ERROR_MORE_DATA) return false;  // ERROR_NO_MORE_ITEMS
    *size = len;
    return name == nullptr;
  }
  *size = len;
  return true;
}

}  // namespace tolmix::platform
