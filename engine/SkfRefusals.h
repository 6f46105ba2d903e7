// PINs that an SKF key refused while a call that did not name "SKF" probed
// it (the PIN was likely a PKCS#11 token's), remembered for the life of the
// process so that the same PIN is not presented to that key again: a page
// that signs a hundred times on "P11" with an SM2 key plugged spends at
// most one of the key's tries.  Held in memory only, never on disk, and
// only as keyed hashes (HMAC-SHA256 under a key drawn at random once per
// process) of the key's identity and the PIN.
#pragma once

#include <string>

namespace tolmix {

// KEY names the SKF key (its library path and application).
bool SkfRefusalKnown(const std::string& key, const char* pin) noexcept;
void RememberSkfRefusal(const std::string& key, const char* pin) noexcept;
// The key took PIN after all (its PIN was changed back, say).
void ForgetSkfRefusal(const std::string& key, const char* pin) noexcept;

}  // namespace tolmix
