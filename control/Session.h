// The process-wide session: the interface selector and the password that
// every engine-backed method of every control in the process hands to its
// engine.  One copy per loaded module, zero-filled at load, never freed.
//
// The two fields are reached only through the functions below, which hold
// one mutex.  Controls are apartment-threaded, but controls on different
// threads share this session: without the lock a read racing a write is
// undefined behaviour, and a method could hand its engine the selector of
// one SetPasswd and the password of another (for example a PIN meant for a
// PKCS#11 token sent to an SKF key, where wrong PINs count towards a lock).
// Methods that need both therefore take one snapshot of the pair.
#pragma once

#include <openssl/crypto.h>
#include <cstddef>

namespace tolmix::control {

inline constexpr size_t kSessionFieldSize = 256;

// A copy of both fields taken under one lock: never a selector from one
// write with a password from another.
struct SessionSnapshot {
  char szInterface[kSessionFieldSize];
  char szPassword[kSessionFieldSize];
  // The copy of the password is wiped when the call that took it is done.
  ~SessionSnapshot() { OPENSSL_cleanse(szPassword, sizeof szPassword); }
};

SessionSnapshot SnapshotSession();

// Copies the selector alone into OUT.
void ReadSessionInterface(char (&out)[kSessionFieldSize]);

// Zero-fills both fields, then copies INTERFACE and PASSWORD into them (a
// null pointer is the empty text), in one step: readers see the old pair
// or the new one.  Texts longer than 255 bytes are cut; callers refuse
// such arguments before they get here.
void ReplaceSession(const char* interfaceName, const char* password);

// Replaces the password and leaves the selector as it is.
void SetSessionPassword(const char* password);

// Zero-fills both fields.
void ClearSession();


}  // namespace tolmix::control
