// What the platform and the token cost by themselves, for the comparison
// rows of bench/compare: the token's raw signing rate, its own bring-up, a
// whole call as the token would serve it with nothing of ours around it,
// and the dynamic loader's floor for a module that does nothing.
#include <benchmark/benchmark.h>

#include <dlfcn.h>

#include <string>

#include "bench/BenchSupport.h"
#include "bench/Token.h"

namespace tolmix::bench {
namespace {

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
