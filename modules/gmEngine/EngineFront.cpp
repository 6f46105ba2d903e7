// ENGINE glue of the gmEngine module: the dynamic bind and version check,
// the per-engine methods, and the loaders that read the application-data
// slots and hand plain values to DeviceKey / KeyMethods.
//
// Slots read (the system writes them with fixed indexes):
//   2  char* PIN, read (copied, at most 255 bytes) by every private-key load.
// Slots 6 and 8 (envelope opening, decryption) need nothing from this
// engine: a key from ENGINE_load_private_key decrypts with the device's
// encryption pair whenever OpenSSL asks it to, and signs with the signature
// pair.
//
// What the engine changes in OpenSSL while it is loaded: the SHA-1 method
// answers SM3 (Sm3Digest.h), from bind until the engine's last functional
// reference is finished (or the engine is destroyed without one); and
// OBJ_add_sigid maps (SM3, id-ecPublicKey) to a signature id, once per
// process, so that PKCS#7 can name an SM3 signature of an EC-typed key
// (AddSm3EcSignatureId: which id depends on the OpenSSL version).  No
// key method is registered: the EC methods reach only the engine's keys.
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include "modules/gmEngine/DeviceKey.h"
#include "modules/gmEngine/EngineErrors.h"
#include "modules/gmEngine/KeyMethods.h"
#include "modules/gmEngine/Sm3Digest.h"

namespace tolmix::gm {
namespace {

constexpr char kEngineId[] = "gmEngine";
constexpr char kEngineName[] = "SM2/SM3 keys of GM/T 0016 (SKF) devices";
constexpr int kSlotPin = 2;
constexpr size_t kPinSize = 256;
const int kPkeyNids[] = {EVP_PKEY_EC};

// What one ENGINE made from this module owns.  Not kept in the ENGINE's
// ex_data: an index of our own could be one of the system's fixed slots.
struct EngineState {
  EC_KEY_METHOD* ec_method = nullptr;      // freed by EngineDestroy
  EVP_PKEY_METHOD* pkey_method = nullptr;  // freed by libcrypto with the engine
  Sm3ForSha1 digest;
  std::mutex mutex;  // guards digest
  ~EngineState() { EC_KEY_METHOD_free(ec_method); }
};

std::mutex g_states_mutex;
std::vector<std::pair<ENGINE*, EngineState*>> g_states;

EngineState* StateOf(ENGINE* e) {
  std::lock_guard lock(g_states_mutex);
  for (auto& [engine, state] : g_states) {
    if (engine == e) return state;
  }
  return nullptr;
}

EngineState* TakeState(ENGINE* e) {
  std::lock_guard lock(g_states_mutex);
  for (auto it = g_states.begin(); it != g_states.end(); ++it) {
    if (it->first == e) {
      EngineState* s = it->second;
      g_states.erase(it);
      return s;
    }
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

// Called under libcrypto's engine lock: registers nothing.
int EngineInit(ENGINE*) { return 1; }

// The engine is in no table, so this runs only through ENGINE_finish (or a
// key's release of its engine), outside the engine lock: the digest may be
// unregistered here.
int EngineFinish(ENGINE* e) {
  if (EngineState* s = StateOf(e)) {
    std::lock_guard lock(s->mutex);
    s->digest.Unregister();
  }
  return 1;
}

// Runs when the last structural reference goes.  The pkey method has been
// freed by libcrypto already.  An engine that was never finished still has
// its digest registered; it is unregistered here, which needs the engine
// lock free -- true when the last reference goes with ENGINE_free, the
// release every path of the system ends with (see README.md).
int EngineDestroy(ENGINE* e) {
  EngineState* s = TakeState(e);
  if (s) {
    s->digest.Unregister();
    delete s;
  }
  return 1;
}

int PkeyMethods(ENGINE* e, EVP_PKEY_METHOD** pmeth, const int** nids, int nid) {
  if (!pmeth) {
    *nids = kPkeyNids;
    return 1;
  }
  EngineState* s = StateOf(e);
  *pmeth = s && nid == EVP_PKEY_EC ? s->pkey_method : nullptr;
  return *pmeth ? 1 : 0;
}

// ENGINE_load_private_key: KEY_ID is the simple display name of the
// certificate (GBK) of a container of the device; PIN from slot 2.
EVP_PKEY* LoadPrivateKey(ENGINE* e, const char* key_id, UI_METHOD*, void*) {
  char pin[kPinSize];
  ReadPin(e, pin);
  EVP_PKEY* result = nullptr;
  try {
    std::shared_ptr<DeviceKey> device = FindKeyByDisplayName(pin, key_id);
    if (device) {
      const std::vector<unsigned char>& point =
          device->sign_point.empty() ? device->enc_point : device->sign_point;
      std::vector<unsigned char> copy = point;
      result = MakeEngineKey(e, copy, std::move(device)).release();
    }
  } catch (...) {
    RaiseError(kReasonInternal, "out of memory");
  }
  OPENSSL_cleanse(pin, sizeof pin);
  return result;
}

// ENGINE_load_public_key: callback data is the X509* whose key is wanted.
// An SM2 key comes back as an engine key (SM2 verification of whatever
// digest OpenSSL hands it, SHA-1 included); any other key as the
// certificate's own.
EVP_PKEY* LoadPublicKey(ENGINE* e, const char*, UI_METHOD*, void* callback_data) {
  X509* cert = static_cast<X509*>(callback_data);
  if (!cert) {
    RaiseError(kReasonNoKey, "ENGINE_load_public_key needs the certificate as callback data");
    return nullptr;
  }
  try {
    std::vector<unsigned char> point = Sm2PointOf(cert);
    if (point.empty()) return X509_get_pubkey(cert);
    return MakeEngineKey(e, point, nullptr).release();
  } catch (...) {
    RaiseError(kReasonInternal, "out of memory");
    return nullptr;
  }
}

// PKCS#7 names an EC signer's algorithm by looking (digest, key type) up in
// OpenSSL's signature table, which has SM3 only with SM2-typed keys; the
// engine's keys are EC-typed.  Where the versions differ:
// - OpenSSL 3.0 takes a second triple for a signature id it knows and
//   reads the application's triples first: (SM2-with-SM3, SM3, EC) is added.
// - Later releases (3.5 on Debian 13) refuse a triple whose signature id
//   their own table already holds with other algorithms, and read that
//   table first.  There the triple goes under the GM profile's SM2
//   signature algorithm (1.2.156.10197.1.301.1, a number of its own where
//   OpenSSL has none), the name a signer gets in the end anyway
//   (gm_profile::NameSm2Signer).  Without it every SM2 signer set-up fails.
void AddSm3EcSignatureId() {
  int sig = NID_undef;
  if (OBJ_find_sigid_by_algs(&sig, NID_sm3, NID_X9_62_id_ecPublicKey)) return;
  ERR_set_mark();
  if (OBJ_add_sigid(NID_SM2_with_SM3, NID_sm3, NID_X9_62_id_ecPublicKey)) {
    ERR_pop_to_mark();
    return;
  }
  constexpr char kSm2Sign[] = "1.2.156.10197.1.301.1";
  int nid = OBJ_txt2nid(kSm2Sign);
  if (nid == NID_undef) nid = OBJ_create(kSm2Sign, "SM2Sign-GM", "SM2 signature (GM/T 0006)");
  if (nid != NID_undef) OBJ_add_sigid(nid, NID_sm3, NID_X9_62_id_ecPublicKey);
  ERR_pop_to_mark();
}

int Bind(ENGINE* e, const char* id) {
  if (id && strcmp(id, kEngineId) != 0) return 0;
  EngineState* s = new (std::nothrow) EngineState;
  if (!s) return 0;
  s->ec_method = NewEcKeyMethod();
  s->pkey_method = NewEcPkeyMethod();
  bool listed = false;
  try {
    std::lock_guard lock(g_states_mutex);
    g_states.emplace_back(e, s);
    listed = true;
  } catch (...) {
  }
  if (!listed || !s->ec_method || !s->pkey_method || !ENGINE_set_id(e, kEngineId) ||
      !ENGINE_set_name(e, kEngineName) ||
      !ENGINE_set_flags(e, ENGINE_FLAGS_NO_REGISTER_ALL) ||
      !ENGINE_set_init_function(e, EngineInit) || !ENGINE_set_finish_function(e, EngineFinish) ||
      !ENGINE_set_destroy_function(e, EngineDestroy) || !ENGINE_set_EC(e, s->ec_method) ||
      !ENGINE_set_pkey_meths(e, PkeyMethods) ||
      !ENGINE_set_load_privkey_function(e, LoadPrivateKey) ||
      !ENGINE_set_load_pubkey_function(e, LoadPublicKey) || !s->digest.Register()) {
    // The dynamic loader puts the engine back as it was; nothing of ours
    // may stay behind, the pkey method included.
    TakeState(e);
    EVP_PKEY_meth_free(s->pkey_method);
    delete s;
    return 0;
  }
  AddSm3EcSignatureId();
  EngineErrorLibrary();  // take the library number while loading
  return 1;
}

}  // namespace
}  // namespace tolmix::gm

extern "C" {
#pragma GCC visibility push(default)
IMPLEMENT_DYNAMIC_CHECK_FN()
IMPLEMENT_DYNAMIC_BIND_FN(tolmix::gm::Bind)
#pragma GCC visibility pop
}
