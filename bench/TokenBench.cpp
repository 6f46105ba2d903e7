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

// The token's raw rate: SoftHSM2 through PKCS#11 itself, one session
// logged in for the run, C_SignInit + C_Sign (RSA PKCS#1 v1.5) of a SHA-1
// DigestInfo per iteration, as the engine hands the token.
void BM_P11TokenRawSign(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  void* lib = dlopen(kSoftHsm, RTLD_NOW | RTLD_LOCAL);
  CK_C_GetFunctionList getList =
      lib ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList")) : nullptr;
  CK_FUNCTION_LIST_PTR f = nullptr;
  if (!getList || getList(&f) != CKR_OK || f->C_Initialize(nullptr) != CKR_OK) {
    state.SkipWithError("SoftHSM2 does not load");
    if (lib) dlclose(lib);
    return;
  }
  CK_SLOT_ID slots[8];
  CK_ULONG count = 8;
  CK_SESSION_HANDLE session = 0;
  CK_OBJECT_HANDLE keyObject = 0;
  CK_ULONG found = 0;
  std::string pin = TokenPin();
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  char label[] = "p11-sign";
  CK_ATTRIBUTE query[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                          {CKA_LABEL, label, sizeof label - 1}};
  bool ready =
      f->C_GetSlotList(CK_TRUE, slots, &count) == CKR_OK && count > 0 &&
      f->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &session) == CKR_OK &&
      f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size()) ==
          CKR_OK &&
      f->C_FindObjectsInit(session, query, 2) == CKR_OK &&
      f->C_FindObjects(session, &keyObject, 1, &found) == CKR_OK && found == 1 &&
      f->C_FindObjectsFinal(session) == CKR_OK;
  CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
  unsigned char sig[512];
  for (auto _ : state) {
    if (!ready) {
      state.SkipWithError("token key not found");
      break;
    }
    CK_ULONG sigLen = sizeof sig;
    if (f->C_SignInit(session, &mech, keyObject) != CKR_OK ||
        f->C_Sign(session, g_digestInfo, sizeof g_digestInfo, sig, &sigLen) != CKR_OK) {
      state.SkipWithError("C_Sign failed");
      break;
    }
  }
  if (session) f->C_CloseSession(session);
  f->C_Finalize(nullptr);
  dlclose(lib);
}

BENCHMARK(BM_P11TokenRawSign)->Unit(benchmark::kMillisecond);

// The token's own bring-up, as every call pays it: SoftHSM2 loaded and
// initialised, a session opened and logged in, everything closed and the
// library unloaded again (no signing).
void BM_P11TokenOpenLogin(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  std::string pin = TokenPin();
  for (auto _ : state) {
    void* lib = dlopen(kSoftHsm, RTLD_NOW | RTLD_LOCAL);
    CK_C_GetFunctionList getList =
        lib ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList")) : nullptr;
    CK_FUNCTION_LIST_PTR f = nullptr;
    CK_SLOT_ID slots[8];
    CK_ULONG count = 8;
    CK_SESSION_HANDLE session = 0;
    bool ok = getList && getList(&f) == CKR_OK && f->C_Initialize(nullptr) == CKR_OK;
    if (ok) {
      ok = f->C_GetSlotList(CK_TRUE, slots, &count) == CKR_OK && count > 0 &&
           f->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &session) == CKR_OK &&
           f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()),
                      pin.size()) == CKR_OK;
      if (session) f->C_CloseSession(session);
      f->C_Finalize(nullptr);
    }
    if (lib) dlclose(lib);
    if (!ok) {
      state.SkipWithError("token login failed");
      break;
    }
  }
}

BENCHMARK(BM_P11TokenOpenLogin)->Unit(benchmark::kMillisecond);

// What a "P11" Sign would cost if the token alone did the call: SoftHSM2
// loaded and initialised, a session opened and logged in, the key found by
// its label, one C_Sign, everything closed and the library unloaded.  The
// target of a "P11" Sign is at most twice this (bench/compare).
void BM_P11TokenOwnCall(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  std::string pin = TokenPin();
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  char label[] = "p11-sign";
  CK_ATTRIBUTE query[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                          {CKA_LABEL, label, sizeof label - 1}};
  CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
  for (auto _ : state) {
    void* lib = dlopen(kSoftHsm, RTLD_NOW | RTLD_LOCAL);
    CK_C_GetFunctionList getList =
        lib ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList")) : nullptr;
    CK_FUNCTION_LIST_PTR f = nullptr;
    CK_SLOT_ID slots[8];
    CK_ULONG count = 8;
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE key = 0;
    CK_ULONG found = 0;
    unsigned char sig[512];
    CK_ULONG sigLen = sizeof sig;
    bool ok = getList && getList(&f) == CKR_OK && f->C_Initialize(nullptr) == CKR_OK;
    if (ok) {
      ok = f->C_GetSlotList(CK_TRUE, slots, &count) == CKR_OK && count > 0 &&
           f->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &session) == CKR_OK &&
           f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()),
                      pin.size()) == CKR_OK &&
           f->C_FindObjectsInit(session, query, 2) == CKR_OK &&
           f->C_FindObjects(session, &key, 1, &found) == CKR_OK && found == 1 &&
           f->C_FindObjectsFinal(session) == CKR_OK &&
           f->C_SignInit(session, &mech, key) == CKR_OK &&
           f->C_Sign(session, g_digestInfo, sizeof g_digestInfo, sig, &sigLen) == CKR_OK;
      if (session) f->C_CloseSession(session);
      f->C_Finalize(nullptr);
    }
    if (lib) dlclose(lib);
    if (!ok) {
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
