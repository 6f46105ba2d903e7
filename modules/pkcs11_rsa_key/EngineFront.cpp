// ENGINE glue of the pkcs11_rsa_key module: the dynamic bind and version
// check, the control command table, and the callbacks that read the
// engine's application-data slots and hand plain values to TokenBack.
//
// Slots read (the system writes them with fixed indexes):
//   2  char* PIN, read when a key is loaded and never kept;
//   9  char* "READCERT": ENGINE_load_ssl_client_cert reads the certificate
//      without a login and returns its public key as the key.
// Slots 6 and 8 (envelope opening, decryption) need nothing from this
// engine: content keys are wrapped by OpenSSL with the certificate's public
// key and unwrapped by the token through the key's own RSA method.
//
// The engine carries the RSA method of the token's keys (TokenKey.h) but
// registers no default methods, so loading it changes nothing for keys that
// do not come from it.  Each token key holds the engine, so the module stays
// loaded until the last key is freed.
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/engine.h>

#include "modules/pkcs11_rsa_key/EngineErrors.h"
#include "modules/pkcs11_rsa_key/ObjectChoice.h"
#include "modules/pkcs11_rsa_key/TokenBack.h"
#include "modules/pkcs11_rsa_key/TokenKey.h"
#include "util/PinGuard.h"
#include "util/TokenOutcome.h"

namespace tolmix::p11 {
namespace {

constexpr char kEngineId[] = "pkcs11_rsa_key";
constexpr char kEngineName[] = "PKCS#11 RSA keys";
constexpr char kReadCertMark[] = "READCERT";
constexpr int kSlotPin = 2;
constexpr int kSlotReadCert = 9;
// The PIN is copied out of slot 2 into this many bytes at most.
constexpr size_t kPinSize = 256;

constexpr int kCmdModulePath = ENGINE_CMD_BASE;
constexpr int kCmdCheckLogin = ENGINE_CMD_BASE + 1;
constexpr int kCmdLastOutcome = ENGINE_CMD_BASE + 2;
constexpr int kCmdPinGuard = ENGINE_CMD_BASE + 3;

// CHECK_LOGIN, LAST_OUTCOME and PIN_GUARD take pointers (ENGINE_ctrl_cmd):
// the PIN (or null for the choice alone), a tolmix::TokenOutcome to fill,
// and the system's tolmix::PinGuard (copied; null forgets it).
const ENGINE_CMD_DEFN kCommands[] = {
    {kCmdModulePath, "MODULE_PATH",
     "PKCS#11 module to use instead of the modules listed in P11_SKF.ini", ENGINE_CMD_FLAG_STRING},
    {kCmdCheckLogin, "CHECK_LOGIN", "choose the token and check the PIN on it",
     ENGINE_CMD_FLAG_INTERNAL},
    {kCmdLastOutcome, "LAST_OUTCOME", "what the last token choice and login came to",
     ENGINE_CMD_FLAG_INTERNAL},
    {kCmdPinGuard, "PIN_GUARD", "the process's memory of PINs its tokens refused",
     ENGINE_CMD_FLAG_INTERNAL},
    {0, nullptr, nullptr, 0},
};

// Each ENGINE made from this module has its own TokenBack.  The back is not
// kept in the ENGINE's ex_data: an index of our own could be one of the
// system's fixed slots.
std::mutex g_backs_mutex;
std::vector<std::pair<ENGINE*, TokenBack*>> g_backs;

TokenBack* BackOf(ENGINE* e) {
  std::lock_guard lock(g_backs_mutex);
  for (auto& [engine, back] : g_backs) {
    if (engine == e) return back;
  }
  return nullptr;
}

// Copies the PIN of slot 2 (bounded, always terminated); "" when unset.
void ReadPin(ENGINE* e, char (&pin)[kPinSize]) {
  const char* text = static_cast<const char*>(ENGINE_get_ex_data(e, kSlotPin));
  size_t n = text ? strnlen(text, kPinSize - 1) : 0;
  if (n) memcpy(pin, text, n);
  pin[n] = '\0';
}

bool ReadCertRequested(ENGINE* e) {
  const char* text = static_cast<const char*>(ENGINE_get_ex_data(e, kSlotReadCert));
  return text && strncmp(text, kReadCertMark, sizeof kReadCertMark) == 0;
}

int EngineInit(ENGINE*) { return 1; }  // the token is reached lazily

int EngineFinish(ENGINE* e) {
  if (TokenBack* back = BackOf(e)) back->Finish();
  return 1;
}

int EngineDestroy(ENGINE* e) {
  TokenBack* back = nullptr;
  {
    std::lock_guard lock(g_backs_mutex);
    for (auto it = g_backs.begin(); it != g_backs.end(); ++it) {
      if (it->first == e) {
        back = it->second;
        g_backs.erase(it);
        break;
      }
    }
  }
  delete back;
  return 1;
}

int EngineCtrl(ENGINE* e, int cmd, long, void* p, void (*)(void)) {
  TokenBack* back = BackOf(e);
  if (!back) return 0;
  switch (cmd) {
    case kCmdModulePath:
      back->SetModulePath(static_cast<const char*>(p));
      return 1;
    case kCmdCheckLogin: {
      const char* text = static_cast<const char*>(p);
      char pin[kPinSize];
      size_t n = text ? strnlen(text, kPinSize - 1) : 0;
      if (n) memcpy(pin, text, n);
      pin[n] = '\0';
      bool ok = back->CheckLogin(text ? pin : nullptr);
      OPENSSL_cleanse(pin, sizeof pin);
      return ok ? 1 : 0;
    }
    case kCmdPinGuard:
      back->SetPinGuard(static_cast<const PinGuard*>(p));
      return 1;
    case kCmdLastOutcome:
      if (!p) return 0;
      *static_cast<TokenOutcome*>(p) = back->LastOutcome();
      return 1;
    default:
      return 0;
  }
}

// ENGINE_load_ssl_client_cert: callback data is an int* key kind (null =
// exchange).  Certificate and key both come back, or neither.
int LoadSslClientCert(ENGINE* e, SSL*, STACK_OF(X509_NAME)*, X509** pcert, EVP_PKEY** pkey,
                      STACK_OF(X509)**, UI_METHOD*, void* callback_data) {
  TokenBack* back = BackOf(e);
  if (!back || !pcert || !pkey) return 0;
  int kind = callback_data ? *static_cast<const int*>(callback_data) : kKeyKindExchange;
  bool cert_only = ReadCertRequested(e);
  char pin[kPinSize];
  if (cert_only) {
    pin[0] = '\0';
  } else {
    ReadPin(e, pin);
  }
  ossl::Ptr<X509> cert;
  ossl::Ptr<EVP_PKEY> key;
  bool ok = back->LoadClientCert(pin, cert_only, kind, &cert, &key);
  OPENSSL_cleanse(pin, sizeof pin);
  if (!ok) return 0;
  *pcert = cert.release();
  *pkey = key.release();
  return 1;
}

EVP_PKEY* LoadPrivateKey(ENGINE* e, const char* key_id, UI_METHOD*, void*) {
  TokenBack* back = BackOf(e);
  if (!back) return nullptr;
  char pin[kPinSize];
  ReadPin(e, pin);
  EVP_PKEY* key = back->LoadPrivateKey(pin, key_id).release();
  OPENSSL_cleanse(pin, sizeof pin);
  return key;
}

// ENGINE_load_public_key: callback data is the X509* whose key is wanted.
EVP_PKEY* LoadPublicKey(ENGINE* e, const char* key_id, UI_METHOD*, void* callback_data) {
  TokenBack* back = BackOf(e);
  return back ? back->LoadPublicKey(key_id, static_cast<X509*>(callback_data)).release() : nullptr;
}

int Bind(ENGINE* e, const char* id) {
  if (id && strcmp(id, kEngineId) != 0) return 0;
  const RSA_METHOD* rsa = TokenRsaMethod();
  TokenBack* back = rsa ? new (std::nothrow) TokenBack : nullptr;
  if (!back) return 0;
  back->SetEngine(e);
  try {
    std::lock_guard lock(g_backs_mutex);
    g_backs.emplace_back(e, back);
  } catch (...) {
    delete back;
    return 0;
  }
  if (!ENGINE_set_id(e, kEngineId) || !ENGINE_set_name(e, kEngineName) ||
      !ENGINE_set_init_function(e, EngineInit) || !ENGINE_set_finish_function(e, EngineFinish) ||
      !ENGINE_set_destroy_function(e, EngineDestroy) || !ENGINE_set_ctrl_function(e, EngineCtrl) ||
      !ENGINE_set_cmd_defns(e, kCommands) || !ENGINE_set_RSA(e, rsa) ||
      !ENGINE_set_load_privkey_function(e, LoadPrivateKey) ||
      !ENGINE_set_load_pubkey_function(e, LoadPublicKey) ||
      !ENGINE_set_load_ssl_client_cert_function(e, LoadSslClientCert)) {
    EngineDestroy(e);
    return 0;
  }
  EngineErrorLibrary();  // take the library number while loading
  return 1;
}

}  // namespace
}  // namespace tolmix::p11

extern "C" {
#pragma GCC visibility push(default)
IMPLEMENT_DYNAMIC_CHECK_FN()
IMPLEMENT_DYNAMIC_BIND_FN(tolmix::p11::Bind)
#pragma GCC visibility pop
}
