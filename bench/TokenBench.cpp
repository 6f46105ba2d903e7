// What the platform and the token cost by themselves, for the comparison
// rows of bench/compare: the token's raw signing rate, its own bring-up, a
// whole call as the token would serve it with nothing of ours around it,
// and the dynamic loader's floor for a module that does nothing.
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstdlib>
#include <string>

#include "bench/BenchSupport.h"

namespace tolmix::bench {
namespace {

constexpr char kSoftHsm[] = "/usr/lib/softhsm/libsofthsm2.so";

std::string TokenPin() {
  const char* pin = getenv("TOLMIX_SANDBOX_P11_PIN");
  return pin ? pin : "";
}

// DigestInfo of SHA-1 over twenty bytes, as the engine hands the token.
unsigned char g_digestInfo[35] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03,
                                  0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};

// SoftHSM2 reached through PKCS#11 itself, with nothing of ours around it:
// the constructor loads and initialises the library and logs a session in
// on the first slot with a token; the destructor closes the session,
// finalises and unloads.  Ready() says whether every step succeeded.
class Token {
 public:
  explicit Token(const std::string& pin) {
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
  ~Token() {
    if (f_) {
      if (session_) f_->C_CloseSession(session_);
      f_->C_Finalize(nullptr);
    }
    if (lib_) dlclose(lib_);
  }
  Token(const Token&) = delete;
  Token& operator=(const Token&) = delete;

  bool Ready() const { return ready_; }

  // The sandbox's signature key, found by its label.
  bool FindSignKey() {
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

  // C_SignInit + C_Sign (RSA PKCS#1 v1.5) of the DigestInfo with that key.
  bool Sign() {
    CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
    unsigned char sig[512];
    CK_ULONG sigLen = sizeof sig;
    return f_->C_SignInit(session_, &mech, key_) == CKR_OK &&
           f_->C_Sign(session_, g_digestInfo, sizeof g_digestInfo, sig, &sigLen) == CKR_OK;
  }

 private:
  void* lib_ = nullptr;
  CK_FUNCTION_LIST_PTR f_ = nullptr;
  CK_SESSION_HANDLE session_ = 0;
  CK_OBJECT_HANDLE key_ = 0;
  bool ready_ = false;
};

// The token's raw rate: one session logged in for the run, C_SignInit +
// C_Sign of a SHA-1 DigestInfo per iteration, as the engine hands the token.
void BM_P11TokenRawSign(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  Token token(TokenPin());
  const bool ready = token.FindSignKey();
  for (auto _ : state) {
    if (!ready) {
      state.SkipWithError("token key not found");
      break;
    }
    if (!token.Sign()) {
      state.SkipWithError("C_Sign failed");
      break;
    }
  }
}

BENCHMARK(BM_P11TokenRawSign)->Unit(benchmark::kMillisecond);

// The token's own bring-up, as every call pays it: SoftHSM2 loaded and
// initialised, a session opened and logged in, everything closed and the
// library unloaded again (no signing).
void BM_P11TokenOpenLogin(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  const std::string pin = TokenPin();
  for (auto _ : state) {
    Token token(pin);
    if (!token.Ready()) {
      state.SkipWithError("token login failed");
      break;
    }
  }
}

BENCHMARK(BM_P11TokenOpenLogin)->Unit(benchmark::kMillisecond);

// What a "P11" Sign would cost if the token alone did the call: the
// bring-up above, the key found by its label, one C_Sign, everything closed
// and unloaded.  The target of a "P11" Sign is at most twice this
// (bench/compare).
void BM_P11TokenOwnCall(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  const std::string pin = TokenPin();
  for (auto _ : state) {
    Token token(pin);
    if (!token.FindSignKey() || !token.Sign()) {
      state.SkipWithError("token call failed");
      break;
    }
  }
}

BENCHMARK(BM_P11TokenOwnCall)->Unit(benchmark::kMillisecond);

// The dynamic loader's floor: dlopen and dlclose of a module that holds
// nothing, linked as the engine modules are.  Bringing an engine module up
// and down can never cost less than this.
void BM_ModuleFloor(benchmark::State& state) {
  PeakScope peak(state);
  for (auto _ : state) {
    void* lib = dlopen(TOLMIX_EMPTY_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
      state.SkipWithError("empty module does not load");
      break;
    }
    dlclose(lib);
  }
}

BENCHMARK(BM_ModuleFloor)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tolmix::bench
