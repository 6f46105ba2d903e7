// PKCS#7 signing and verification per route, as the control runs them (a
// fresh engine per call: key loading, login, engine bring-up and clean-up
// every time), against the same operation done directly with OpenSSL and
// the same device key held open (the limit).  On "P11" also the stages of
// one call and the token's raw signing rate, for the breakdown.
#include <benchmark/benchmark.h>

#include <openssl/engine.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "bench/BenchSupport.h"
#include "engine/CMSEngine.h"
#include "engine/SignerVerify.h"

namespace tolmix::bench {
namespace {

// Routes: 0 "P11" (SoftHSM2, SKF key unplugged), 1 "SKF" (soft SKF key,
// SM2), 2 "CSP" (soft store, unattended chooser).
struct Route {
  const char* iface;
  const char* pinVariable;
  bool rsa;
};
constexpr Route kRoutes[] = {
    {"P11", "TOLMIX_SANDBOX_P11_PIN", true},
    {"SKF", "TOLMIX_SANDBOX_SKF_PIN", false},
    {"CSP", "TOLMIX_SANDBOX_P11_PIN", true},  // the soft store asks no PIN
};

const Route& RouteOf(benchmark::State& state) {
  const Route& r = kRoutes[state.range(0)];
  state.SetLabel(r.iface);
  return r;
}

std::string Pin(const Route& r) {
  const char* pin = getenv(r.pinVariable);
  return pin ? pin : "";
}

const std::string& Content() {
  static const std::string text = [] {
    std::string t;
    while (t.size() < 1024) t += "The quick brown fox jumps over the lazy dog. ";
    t.resize(1024);
    return t;
  }();
  return text;
}

// One signing as the control does it.
int EngineSign(const Route& r, std::string* pem) {
  std::optional<SkfKeyUnplugged> unplugged;
  if (strcmp(r.iface, "P11") == 0) unplugged.emplace();
  CMSEngine engine;
  engine.SetInterface(r.iface);
  engine.SetPassword(Pin(r).c_str());
  return engine.SignData(Content().data(), static_cast<int>(Content().size()), 1, pem);
}

// A message signed on route R, made once per route.
const std::string& SignedMessage(const Route& r) {
  static std::string messages[3];
  std::string& m = messages[&r - kRoutes];
  if (m.empty()) EngineSign(r, &m);
  return m;
}

void BM_SignData(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  const Route& r = RouteOf(state);
  for (auto _ : state) {
    std::string pem;
    if (EngineSign(r, &pem) != 0) {
      state.SkipWithError("SignData failed");
      break;
    }
  }
}

// SignData's message, built with OpenSSL from a key held open.
bool SignDirect(X509* cert, EVP_PKEY* key, std::string* pem) {
  ossl::Ptr<PKCS7> p7(PKCS7_new());
  if (!p7 || !PKCS7_set_type(p7.get(), NID_pkcs7_signed)) return false;
  PKCS7_SIGNER_INFO* si = PKCS7_add_signature(p7.get(), cert, key, EVP_sha1());
  if (!si ||
      !PKCS7_add_signed_attribute(si, NID_pkcs9_contentType, V_ASN1_OBJECT,
                                  OBJ_nid2obj(NID_pkcs7_data)) ||
      !PKCS7_add_certificate(p7.get(), cert) || !PKCS7_content_new(p7.get(), NID_pkcs7_data)) {
    return false;
  }
  ossl::Ptr<BIO> chain(PKCS7_dataInit(p7.get(), nullptr));
  if (!chain ||
      BIO_write(chain.get(), Content().data(), static_cast<int>(Content().size())) <= 0 ||
      BIO_flush(chain.get()) <= 0 || !PKCS7_dataFinal(p7.get(), chain.get())) {
    return false;
  }
  ossl::Ptr<BIO> out(BIO_new(BIO_s_mem()));
  if (!out || !PEM_write_bio_PKCS7(out.get(), p7.get())) return false;
  char* p = nullptr;
  long n = BIO_get_mem_data(out.get(), &p);
  pem->assign(p, static_cast<size_t>(n));
  return true;
}

// The device key loaded once (through the route's engine, which stays up
// for the whole run), then only the PKCS#7 signing per iteration.
void BM_SignDirect(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  const Route& r = RouteOf(state);
  std::optional<SkfKeyUnplugged> unplugged;
  if (strcmp(r.iface, "P11") == 0) unplugged.emplace();
  CMSEngine holder;
  holder.SetInterface(r.iface);
  holder.SetPassword(Pin(r).c_str());
  ossl::Ptr<X509> cert;
  ossl::Ptr<EVP_PKEY> key;
  KeyRoute e;
  if (holder.LoadKeyAndCert(&cert, &key, &e) != 0) {
    state.SkipWithError("key does not load");
    return;
  }
  for (auto _ : state) {
    std::string pem;
    if (!SignDirect(cert.get(), key.get(), &pem)) {
      state.SkipWithError("signing failed");
      break;
    }
  }
}

void BM_VerifySignedData(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  const Route& r = RouteOf(state);
  const std::string& pem = SignedMessage(r);
  for (auto _ : state) {
    CMSEngine engine;
    engine.SetInterface(r.iface);
    if (engine.VerifySignedData(0, 0, pem.data(), static_cast<int>(pem.size())) != 0) {
      state.SkipWithError("VerifySignedData failed");
      break;
    }
  }
}

// Reference: OpenSSL alone, PEM parse and PKCS7_verify of the same message
// (signer certificate from the message, no chain check, content out).  For
// SM2 ("SKF"), whose SHA-1 is the gmEngine's SM3, the engine stays up for
// the run and the signer is checked through it.
void BM_VerifyDirect(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  const Route& r = RouteOf(state);
  const std::string& pem = SignedMessage(r);
  CMSEngine holder;
  KeyRoute gm;
  if (!r.rsa) {
    holder.SetInterface(r.iface);
    gm = holder.SelectInterfaceByCertificate("1.2.156.10197.1.501");
    if (!gm) {
      state.SkipWithError("gmEngine does not load");
      return;
    }
  }
  for (auto _ : state) {
    ossl::Ptr<BIO> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    ossl::Ptr<PKCS7> p7(PEM_read_bio_PKCS7(in.get(), nullptr, nullptr, nullptr));
    bool ok = false;
    if (p7 && r.rsa) {
      ossl::Ptr<BIO> out(BIO_new(BIO_s_mem()));
      ok = PKCS7_verify(p7.get(), nullptr, nullptr, nullptr, out.get(),
                        PKCS7_NOVERIFY | PKCS7_BINARY) == 1;
    } else if (p7) {
      ossl::Ptr<BIO> chain(PKCS7_dataInit(p7.get(), nullptr));
      char block[1024];
      while (chain && BIO_read(chain.get(), block, sizeof block) > 0) {
      }
      PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
      X509* cert = si ? PKCS7_cert_from_signer_info(p7.get(), si) : nullptr;
      ok = chain && cert &&
           SignatureVerifyWithEngine(gm, chain.get(), p7.get(), si, cert) == 1;
    }
    if (!ok) {
      state.SkipWithError("verification failed");
      break;
    }
  }
}

BENCHMARK(BM_SignData)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SignDirect)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VerifySignedData)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VerifyDirect)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

// ---- Where one "P11" signing goes ----

// The engine object alone: construction and destruction.
void BM_P11Stage_EngineObject(benchmark::State& state) {
  PeakScope peak(state);
  for (auto _ : state) {
    CMSEngine engine;
    benchmark::DoNotOptimize(&engine);
  }
}

// The SKF probe that settles the route (the key unplugged: the library is
// loaded, lists no device and is unloaded again).
void BM_P11Stage_SkfProbe(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  SkfKeyUnplugged unplugged;
  for (auto _ : state) {
    CMSEngine engine;
    engine.SetInterface("P11");
    engine.SetPassword(Pin(kRoutes[0]).c_str());
    benchmark::DoNotOptimize(engine.ProbeSkfCert());
  }
}

// Bringing up the "pkcs11_rsa_key" engine module and taking it down again.
void BM_P11Stage_EngineModule(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  for (auto _ : state) {
    CMSEngine engine;
    if (engine.LoadDynamicEngine("pkcs11_rsa_key") != 0) {
      state.SkipWithError("engine does not load");
      break;
    }
  }
}

// The PIN check that opens the "P11" route: the token's library loaded,
// a session logged in, everything closed and unloaded again.
void BM_P11Stage_PinCheck(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  for (auto _ : state) {
    CMSEngine engine;
    engine.SetPassword(Pin(kRoutes[0]).c_str());
    if (engine.LoginP11Device() != 0) {
      state.SkipWithError("PIN check failed");
      break;
    }
  }
}

BENCHMARK(BM_P11Stage_PinCheck)->Unit(benchmark::kMillisecond);

// The whole key loading: probe, engine, token login, key and certificate.
void BM_P11Stage_KeyLoading(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  SkfKeyUnplugged unplugged;
  for (auto _ : state) {
    CMSEngine engine;
    engine.SetInterface("P11");
    engine.SetPassword(Pin(kRoutes[0]).c_str());
    ossl::Ptr<X509> cert;
    ossl::Ptr<EVP_PKEY> key;
    KeyRoute e;
    if (engine.LoadKeyAndCert(&cert, &key, &e) != 0) {
      state.SkipWithError("key does not load");
      break;
    }
  }
}

// What "CSP" verification cannot avoid: the "capi" engine module, brought
// up for the certificate and taken down again, though OpenSSL alone checks
// the signature.
void BM_VerifyStage_CapiModule(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  for (auto _ : state) {
    CMSEngine engine;
    if (engine.LoadDynamicEngine("capi") != 0) {
      state.SkipWithError("engine does not load");
      break;
    }
  }
}

// What both verifications start with: the "CSP" message read from its PEM
// (OpenSSL 3.0 decodes the signer certificate's public key while it parses
// the message, through its decoder chain).
void BM_VerifyStage_MessageRead(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  const std::string& pem = SignedMessage(kRoutes[2]);
  for (auto _ : state) {
    ossl::Ptr<BIO> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    ossl::Ptr<PKCS7> p7(PEM_read_bio_PKCS7(in.get(), nullptr, nullptr, nullptr));
    if (!p7) {
      state.SkipWithError("message does not read");
      break;
    }
  }
}

// One token certificate parsed from its DER, as the "P11" key load parses
// the ones it looks at (the public key decoded as above).
void BM_Stage_CertificateParse(benchmark::State& state) {
  PeakScope peak(state);
  if (!RequireSandbox(state)) return;
  std::string pem = ReadFile(Pki("p11-sign.pem"));
  ossl::Ptr<BIO> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  ossl::Ptr<X509> cert(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
  unsigned char* der = nullptr;
  const int len = cert ? i2d_X509(cert.get(), &der) : 0;
  ossl::Bytes owned(der);
  for (auto _ : state) {
    const unsigned char* p = der;
    ossl::Ptr<X509> x(len > 0 ? d2i_X509(nullptr, &p, len) : nullptr);
    if (!x) {
      state.SkipWithError("certificate does not parse");
      break;
    }
  }
}

BENCHMARK(BM_VerifyStage_CapiModule)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VerifyStage_MessageRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Stage_CertificateParse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_P11Stage_EngineObject);
BENCHMARK(BM_P11Stage_SkfProbe)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_P11Stage_EngineModule)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_P11Stage_KeyLoading)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tolmix::bench
