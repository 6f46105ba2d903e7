#include "engine/SkfRefusals.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

namespace tolmix {
namespace {

using Digest = std::array<unsigned char, 32>;
// Refusals kept at once; the oldest goes first.
constexpr size_t kMaxRefusals = 64;

std::mutex g_lock;
unsigned char g_key[32];
bool g_keyReady = false;
std::vector<Digest> g_refusals;  // guarded by g_lock

// The keyed hash of KEY and PIN; false when no random key could be drawn.
bool Hash(const std::string& key, const char* pin, Digest* out) {
  if (!g_keyReady) {
    if (RAND_bytes(g_key, sizeof g_key) != 1) return false;
    g_keyReady = true;
  }
  std::string text = key;
  text.push_back('\0');
  text.append(pin ? pin : "");
  unsigned int len = 0;
  const bool ok = HMAC(EVP_sha256(), g_key, sizeof g_key, reinterpret_cast<const unsigned char*>(text.data()),
                       text.size(), out->data(), &len) != nullptr &&
                  len == out->size();
  OPENSSL_cleanse(text.data(), text.size());
  return ok;
}

}  // namespace

bool SkfRefusalKnown(const std::string& key, const char* pin) noexcept try {
  std::lock_guard lock(g_lock);
  Digest d;
  if (!Hash(key, pin, &d)) return false;
  return std::find(g_refusals.begin(), g_refusals.end(), d) != g_refusals.end();
} catch (...) {
  return false;
}

void RememberSkfRefusal(const std::string& key, const char* pin) noexcept try {
  std::lock_guard lock(g_lock);
  Digest d;
  if (!Hash(key, pin, &d) || std::find(g_refusals.begin(), g_refusals.end(), d) != g_refusals.end()) return;
  if (g_refusals.size() >= kMaxRefusals) g_refusals.erase(g_refusals.begin());
  g_refusals.push_back(d);
} catch (...) {
}

void ForgetSkfRefusal(const std::string& key, const char* pin) noexcept try {
  std::lock_guard lock(g_lock);
  Digest d;
  if (!Hash(key, pin, &d)) return;
  g_refusals.erase(std::remove(g_refusals.begin(), g_refusals.end(), d), g_refusals.end());
} catch (...) {
}

}  // namespace tolmix
