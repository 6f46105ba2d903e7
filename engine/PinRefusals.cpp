#include "engine/PinRefusals.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <vector>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

namespace tolmix {
namespace {

using Digest = std::array<unsigned char, 32>;
// Refusals kept at once; the oldest goes first.
constexpr size_t kMaxRefusals = 64;

std::mutex g_lock;  // guards everything below
unsigned char g_key[32];
bool g_keyReady = false;
std::vector<Digest> g_refusals;

// The keyed hash of DEVICE and PIN; false when no random key could be drawn
// or HMAC is not to be had.  The key is drawn once, at the first PIN a
// device layer asks about.  (HMAC is fetched per hash: OpenSSL keeps the
// fetched method, so a later fetch is a lookup, and nothing of ours
// outlives OpenSSL's own clean-up at exit.)
bool Hash(const std::string& device, const char* pin, Digest* out) {
  if (!g_keyReady) {
    if (RAND_bytes(g_key, sizeof g_key) != 1) return false;
    g_keyReady = true;
  }
  EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX* ctx = hmac ? EVP_MAC_CTX_new(hmac) : nullptr;
  EVP_MAC_free(hmac);  // the context holds its own reference
  if (!ctx) return false;
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_construct_end()};
  const unsigned char separator = 0;
  const char* text = pin ? pin : "";
  size_t len = 0;
  const bool ok = EVP_MAC_init(ctx, g_key, sizeof g_key, params) == 1 &&
                  EVP_MAC_update(ctx, reinterpret_cast<const unsigned char*>(device.data()),
                                 device.size()) == 1 &&
                  EVP_MAC_update(ctx, &separator, 1) == 1 &&
                  EVP_MAC_update(ctx, reinterpret_cast<const unsigned char*>(text), strlen(text)) == 1 &&
                  EVP_MAC_final(ctx, out->data(), &len, out->size()) == 1 && len == out->size();
  EVP_MAC_CTX_free(ctx);  // wipes the context's copy of the key
  return ok;
}

int GuardRefusedBefore(const char* device, size_t len, const char* pin) {
  if (!device) return 0;
  try {
    return PinRefusalKnown(std::string(device, len), pin) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

void GuardRemember(const char* device, size_t len, const char* pin) {
  if (!device) return;
  try {
    RememberPinRefusal(std::string(device, len), pin);
  } catch (...) {
  }
}

}  // namespace

bool PinRefusalKnown(const std::string& device, const char* pin) noexcept try {
  std::lock_guard lock(g_lock);
  if (g_refusals.empty()) return false;  // nothing to compare with: no hash
  Digest d;
  if (!Hash(device, pin, &d)) return false;
  return std::find(g_refusals.begin(), g_refusals.end(), d) != g_refusals.end();
} catch (...) {
  return false;
}

void RememberPinRefusal(const std::string& device, const char* pin) noexcept try {
  std::lock_guard lock(g_lock);
  Digest d;
  if (!Hash(device, pin, &d) || std::find(g_refusals.begin(), g_refusals.end(), d) != g_refusals.end()) return;
  if (g_refusals.size() >= kMaxRefusals) g_refusals.erase(g_refusals.begin());
  g_refusals.push_back(d);
} catch (...) {
}

void ForgetPinRefusals() noexcept {
  std::lock_guard lock(g_lock);
  g_refusals.clear();
}

const PinGuard& ProcessPinGuard() noexcept {
  static const PinGuard guard{GuardRefusedBefore, GuardRemember};
  return guard;
}

#if TOLMIX_KEYS_ENGINE
void HandPinGuard(ENGINE* e) noexcept {
  if (!e) return;
  ERR_set_mark();
  ENGINE_ctrl_cmd(e, "PIN_GUARD", 0, const_cast<PinGuard*>(&ProcessPinGuard()), nullptr, 0);
  ERR_pop_to_mark();
}
#endif

}  // namespace tolmix
