#include "control/Session.h"

#include <cstring>
#include <mutex>

#include <openssl/crypto.h>

#include "util/FixedText.h"

namespace tolmix::control {
namespace {

std::mutex g_sessionLock;
// Guarded by g_sessionLock.  Zero-filled at load as static storage.
char g_szSessionInterface[kSessionFieldSize];
char g_szSessionPassword[kSessionFieldSize];

}  // namespace

SessionSnapshot SnapshotSession() {
  SessionSnapshot snap;
  std::lock_guard<std::mutex> lock(g_sessionLock);
  memcpy(snap.szInterface, g_szSessionInterface, sizeof snap.szInterface);
  memcpy(snap.szPassword, g_szSessionPassword, sizeof snap.szPassword);
  return snap;
}

void ReadSessionInterface(char (&out)[kSessionFieldSize]) {
  std::lock_guard<std::mutex> lock(g_sessionLock);
  memcpy(out, g_szSessionInterface, sizeof out);
}

void ReplaceSession(const char* interfaceName, const char* password) {
  std::lock_guard<std::mutex> lock(g_sessionLock);
  memset(g_szSessionInterface, 0, sizeof g_szSessionInterface);
  memset(g_szSessionPassword, 0, sizeof g_szSessionPassword);
  CopyBounded(g_szSessionInterface, interfaceName);
  CopyBounded(g_szSessionPassword, password);
}

void SetSessionPassword(const char* password) {
  std::lock_guard<std::mutex> lock(g_sessionLock);
  memset(g_szSessionPassword, 0, sizeof g_szSessionPassword);
  CopyBounded(g_szSessionPassword, password);
}

// The password is wiped with OPENSSL_cleanse, which no optimiser drops.
void ClearSession() {
  std::lock_guard<std::mutex> lock(g_sessionLock);
  memset(g_szSessionInterface, 0, sizeof g_szSessionInterface);
  OPENSSL_cleanse(g_szSessionPassword, sizeof g_szSessionPassword);
}

}  // namespace tolmix::control
