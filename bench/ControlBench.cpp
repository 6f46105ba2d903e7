// The cost of the scripting boundary: control members called through the
// dispatch interface (IDispatch::Invoke with the UTF-16 arguments a script
// holds, result back as a VARIANT) against the engine call alone, made as
// the member makes it (a fresh engine, the same arguments in GBK).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "control/TOLMIXCtrl.h"
#include "engine/CMSEngine.h"
#include "platform/Com.h"

namespace tolmix::bench {
namespace {

using namespace platform;

struct ReleaseCtrl {
  void operator()(CTOLMIXCtrl* c) const { c->Release(); }
};
using CtrlPtr = std::unique_ptr<CTOLMIXCtrl, ReleaseCtrl>;

DISPID IdOf(CTOLMIXCtrl& c, const char16_t* name) {
  const OLECHAR* names[] = {reinterpret_cast<const OLECHAR*>(name)};
  DISPID id = DISPID_UNKNOWN;
  c.GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  return id;
}

// Invokes ID with ARGS (already in the reversed order of DISPPARAMS);
// true when the member returned true.
bool Call(CTOLMIXCtrl& c, DISPID id, std::vector<Variant>& reversed) {
  DISPPARAMS params{reversed.data(), nullptr, static_cast<unsigned>(reversed.size()), 0};
  Variant result;
  HRESULT hr = c.Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
  return hr == S_OK && result.vt == VT_BOOL && result.boolVal == VARIANT_TRUE;
}

std::string Ascii(size_t n) {
  std::string t;
  while (t.size() < n) t += "The quick brown fox jumps over the lazy dog. ";
  t.resize(n);
  return t;
}

std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

const char* P11Pin() {
  const char* pin = getenv("TOLMIX_SANDBOX_P11_PIN");
  return pin ? pin : "";
}

// ---- Digest of 1 KiB, SHA-256 ----

void BM_ControlDigest(benchmark::State& state) {
  PeakScope peak(state);
  CtrlPtr c(CTOLMIXCtrl::Create());
  DISPID id = IdOf(*c, u"Digest");
  std::vector<Variant> args;
  args.push_back(Variant::I4(5));
  args.push_back(Variant::Text(Wide(Ascii(1024))));
  for (auto _ : state) {
    if (!Call(*c, id, args)) {
      state.SkipWithError("Digest failed");
      break;
    }
  }
}

void BM_EngineDigest(benchmark::State& state) {
  PeakScope peak(state);
  std::string text = Ascii(1024);
  for (auto _ : state) {
    CMSEngine engine;
    char out[1024] = {};
    unsigned len = 0;
    if (engine.ComputeDigest(text.c_str(), static_cast<int>(text.size()), 5, out, &len) != 0) {
      state.SkipWithError("digest failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
}

BENCHMARK(BM_ControlDigest);
BENCHMARK(BM_EngineDigest);

// ---- A trivial member: the in-process reference of a bridge call ----

void BM_ControlInvokeErrorCode(benchmark::State& state) {
  CtrlPtr c(CTOLMIXCtrl::Create());
  DISPID id = IdOf(*c, u"ErrorCode");
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  for (auto _ : state) {
    Variant result;
    if (c->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr) != S_OK) {
      state.SkipWithError("ErrorCode failed");
      break;
    }
    benchmark::DoNotOptimize(result.lVal);
  }
}
BENCHMARK(BM_ControlInvokeErrorCode);

// ---- Sign of 1 KiB on "P11" ----

void BM_ControlSign(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  SkfKeyUnplugged unplugged;
  CtrlPtr c(CTOLMIXCtrl::Create());
  std::vector<Variant> session;  // SetPasswd("P11", pin, 1), reversed
  session.push_back(Variant::I4(1));
  session.push_back(Variant::Text(Wide(P11Pin())));
  session.push_back(Variant::Text(u"P11"));
  if (!Call(*c, IdOf(*c, u"SetPasswd"), session)) {
    state.SkipWithError("SetPasswd failed");
    return;
  }
  DISPID id = IdOf(*c, u"Sign");
  std::vector<Variant> args;
  args.push_back(Variant::Text(Wide(Ascii(1024))));
  for (auto _ : state) {
    if (!Call(*c, id, args)) {
      state.SkipWithError("Sign failed");
      break;
    }
  }
  std::vector<Variant> none;
  Call(*c, IdOf(*c, u"ClearPasswd"), none);
}

void BM_EngineSign(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  SkfKeyUnplugged unplugged;
  std::string text = Ascii(1024);
  for (auto _ : state) {
    CMSEngine engine;
    engine.SetInterface("P11");
    engine.SetPassword(P11Pin());
    std::string pem;
    if (engine.SignData(text.c_str(), static_cast<int>(text.size()), 1, &pem) != 0) {
      state.SkipWithError("SignData failed");
      break;
    }
  }
}

BENCHMARK(BM_ControlSign)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineSign)->Unit(benchmark::kMillisecond);

// ---- Verify on "CSP" of a 1 KiB message ----

const std::string& CspMessage() {
  static const std::string pem = [] {
    CMSEngine engine;
    engine.SetInterface("CSP");
    std::string text = Ascii(1024), out;
    engine.SignData(text.c_str(), static_cast<int>(text.size()), 1, &out);
    return out;
  }();
  return pem;
}

void BM_ControlVerify(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  const std::string& pem = CspMessage();
  CtrlPtr c(CTOLMIXCtrl::Create());
  std::vector<Variant> session;  // SetPasswd("CSP", "", 0): selector only
  session.push_back(Variant::I4(1));
  session.push_back(Variant::Text(u""));
  session.push_back(Variant::Text(u"CSP"));
  if (!Call(*c, IdOf(*c, u"SetPasswd"), session)) {
    state.SkipWithError("SetPasswd failed");
    return;
  }
  DISPID id = IdOf(*c, u"Verify");
  std::vector<Variant> args;  // Verify("", pem), reversed
  args.push_back(Variant::Text(Wide(pem)));
  args.push_back(Variant::Text(u""));
  for (auto _ : state) {
    if (!Call(*c, id, args)) {
      state.SkipWithError("Verify failed");
      break;
    }
  }
  std::vector<Variant> none;
  Call(*c, IdOf(*c, u"ClearPasswd"), none);
}

void BM_EngineVerify(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  const std::string& pem = CspMessage();
  for (auto _ : state) {
    CMSEngine engine;
    engine.SetInterface("CSP");
    if (engine.VerifySignedData(0, 0, pem.c_str(), static_cast<int>(pem.size())) != 0) {
      state.SkipWithError("VerifySignedData failed");
      break;
    }
    std::string content = engine.GetVerifiedContent();
    benchmark::DoNotOptimize(content);
  }
}

BENCHMARK(BM_ControlVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EngineVerify)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tolmix::bench
