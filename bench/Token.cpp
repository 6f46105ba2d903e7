#include "bench/Token.h"

#include <dlfcn.h>

#include <cstdlib>

#if TOLMIX_KEYS_ENGINE
#include "engine/EngineSlots.h"
#endif

namespace tolmix::bench {
namespace {

constexpr char kSoftHsm[] = "/usr/lib/softhsm/libsofthsm2.so";

// DigestInfo of SHA-1 over twenty bytes, as the engine hands the token.
unsigned char g_digestInfo[35] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03,
                                  0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};

}  // namespace

std::string TokenPin() {
  const char* pin = getenv("TOLMIX_SANDBOX_P11_PIN");
  return pin ? pin : "";
}

Token::Token(const std::string& pin) {
#if TOLMIX_KEYS_ENGINE
  // SoftHSM2 takes OpenSSL engines of this process for itself (its random
  // source): the engine slots are reserved first, or a benchmark that runs
  // after this one could load no engine module (EngineSlots.h).
  EnsureEngineSlots();
#endif
  lib_ = dlopen(kSoftHsm, RTLD_NOW | RTLD_LOCAL);
  auto getList =
      lib_ ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib_, "C_GetFunctionList")) : nullptr;
  if (!getList || getList(&f_) != CKR_OK || f_->C_Initialize(nullptr) != CKR_OK) {
    f_ = nullptr;
    return;
  }
  CK_SLOT_ID slots[8];
  CK_ULONG count = 8;
  ready_ = f_->C_GetSlotList(CK_TRUE, slots, &count) == CKR_OK && count > 0 &&
           f_->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &session_) == CKR_OK &&
           f_->C_Login(session_, CKU_USER,
                       reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data())),
                       pin.size()) == CKR_OK;
}

Token::~Token() {
  if (f_) {
    if (session_) f_->C_CloseSession(session_);
    f_->C_Finalize(nullptr);
  }
  if (lib_) dlclose(lib_);
}

bool Token::FindSignKey() {
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  char label[] = "p11-sign";
  CK_ATTRIBUTE query[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                          {CKA_LABEL, label, sizeof label - 1}};
  CK_ULONG found = 0;
  ready_ = ready_ && f_->C_FindObjectsInit(session_, query, 2) == CKR_OK &&
           f_->C_FindObjects(session_, &key_, 1, &found) == CKR_OK && found == 1 &&
           f_->C_FindObjectsFinal(session_) == CKR_OK;
  return ready_;
}

bool Token::Sign() {
  CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
  unsigned char sig[512];
  CK_ULONG sigLen = sizeof sig;
  return f_->C_SignInit(session_, &mech, key_) == CKR_OK &&
         f_->C_Sign(session_, g_digestInfo, sizeof g_digestInfo, sig, &sigLen) == CKR_OK;
}

}  // namespace tolmix::bench
