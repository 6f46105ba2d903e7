// bench_callcount OPERATION [N]: one operation of the benchmarks, N times
// (default 1), and nothing else, for `valgrind --tool=callgrind`.  The
// count of a run of N less that of a run of 1, divided by N - 1, is what
// one call costs in instructions, without the process's start and the
// first call's one-time set-up.  Instructions do not depend on the load of
// the machine, where CPU time does: bench/callcount runs the pairs and
// prints the table (docs/performance.md).
#include <dlfcn.h>

#include <openssl/pem.h>
#include <openssl/pkcs7.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "bench/BenchSupport.h"
#include "bench/Token.h"
#include "engine/CMSEngine.h"

namespace tolmix::bench {
namespace {

const std::string& Content() {
  static const std::string text = [] {
    std::string t;
    while (t.size() < 1024) t += "The quick brown fox jumps over the lazy dog. ";
    t.resize(1024);
    return t;
  }();
  return text;
}

int Sign(const char* iface, std::string* pem) {
  CMSEngine engine;
  engine.SetInterface(iface);
  engine.SetPassword(TokenPin().c_str());
  return engine.SignData(Content().data(), static_cast<int>(Content().size()), 1, pem);
}

// The "CSP" message both verifications check.
const std::string& CspMessage() {
  static const std::string m = [] {
    std::string pem;
    return Sign("CSP", &pem) == 0 ? pem : std::string();
  }();
  return m;
}

bool VerifyCsp() {
  CMSEngine engine;
  engine.SetInterface("CSP");
  const std::string& pem = CspMessage();
  return engine.VerifySignedData(0, 0, pem.data(), static_cast<int>(pem.size())) == 0;
}

// The reference of the "CSP" verify (SignBench.cpp, BM_VerifyDirect/2).
bool VerifyDirect() {
  const std::string& pem = CspMessage();
  ossl::Ptr<BIO> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  ossl::Ptr<PKCS7> p7(PEM_read_bio_PKCS7(in.get(), nullptr, nullptr, nullptr));
  ossl::Ptr<BIO> out(BIO_new(BIO_s_mem()));
  return p7 && PKCS7_verify(p7.get(), nullptr, nullptr, nullptr, out.get(),
                            PKCS7_NOVERIFY | PKCS7_BINARY) == 1;
}

bool MessageRead() {
  const std::string& pem = CspMessage();
  ossl::Ptr<BIO> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return ossl::Ptr<PKCS7>(PEM_read_bio_PKCS7(in.get(), nullptr, nullptr, nullptr)) != nullptr;
}

bool CertificateParse() {
  static const std::string der = [] {
    std::string pem = ReadFile(Pki("p11-sign.pem"));
    ossl::Ptr<BIO> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    ossl::Ptr<X509> cert(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
    unsigned char* bytes = nullptr;
    const int len = cert ? i2d_X509(cert.get(), &bytes) : 0;
    ossl::Bytes owned(bytes);
    return len > 0 ? std::string(reinterpret_cast<char*>(bytes), static_cast<size_t>(len)) : std::string();
  }();
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  return ossl::Ptr<X509>(d2i_X509(nullptr, &p, static_cast<long>(der.size()))) != nullptr;
}

bool Module(const char* name) {
  CMSEngine engine;
  return engine.LoadDynamicEngine(name) == 0;
}

bool ModuleFloor() {
  void* lib = dlopen(TOLMIX_EMPTY_MODULE, RTLD_NOW | RTLD_LOCAL);
  if (!lib) return false;
  dlclose(lib);
  return true;
}

bool SignP11() {
  std::string pem;
  return Sign("P11", &pem) == 0;
}

bool SkfProbe() {
  CMSEngine engine;
  engine.SetInterface("P11");
  engine.SetPassword(TokenPin().c_str());
  engine.ProbeSkfCert();  // no SKF key: fails, as on the "P11" route
  return true;
}

bool PinCheck() {
  CMSEngine engine;
  engine.SetPassword(TokenPin().c_str());
  return engine.LoginP11Device() == 0;
}

bool KeyLoading() {
  CMSEngine engine;
  engine.SetInterface("P11");
  engine.SetPassword(TokenPin().c_str());
  ossl::Ptr<X509> cert;
  ossl::Ptr<EVP_PKEY> key;
  KeyRoute e;
  return engine.LoadKeyAndCert(&cert, &key, &e) == 0;
}

bool TokenOwnCall() {
  Token token(TokenPin());
  return token.FindSignKey() && token.Sign();
}

bool TokenOpenLogin() {
  Token token(TokenPin());
  return token.Ready();
}

bool EngineObject() {
  CMSEngine engine;
  return true;
}

struct Operation {
  const char* name;
  bool skfUnplugged;  // the "P11" route: no SKF key
  std::function<bool()> run;
  bool message = false;  // checks the "CSP" message (signed before the calls)
};

const Operation kOperations[] = {
    {"verify-csp", false, VerifyCsp, true},
    {"verify-direct", false, VerifyDirect, true},
    {"message-read", false, MessageRead, true},
    {"certificate-parse", false, CertificateParse},
    {"capi-module", false, [] { return Module("capi"); }},
    {"p11-module", false, [] { return Module("pkcs11_rsa_key"); }},
    {"module-floor", false, ModuleFloor},
    {"engine-object", false, EngineObject},
    {"sign-p11", true, SignP11},
    {"skf-probe", true, SkfProbe},
    {"pin-check", true, PinCheck},
    {"key-loading", true, KeyLoading},
    {"token-own-call", true, TokenOwnCall},
    {"token-open-login", true, TokenOpenLogin},
};

int Main(int argc, char** argv) {
  const Operation* op = nullptr;
  for (const Operation& o : kOperations) {
    if (argc > 1 && strcmp(argv[1], o.name) == 0) op = &o;
  }
  const long n = argc > 2 ? strtol(argv[2], nullptr, 10) : 1;
  if (!op || n < 1) {
    fprintf(stderr, "usage: bench_callcount OPERATION [N]; operations:");
    for (const Operation& o : kOperations) fprintf(stderr, " %s", o.name);
    fprintf(stderr, "\n");
    return 2;
  }
  std::string why;
  if (!EnsureSandbox(&why)) {
    fprintf(stderr, "bench_callcount: %s\n", why.c_str());
    return 1;
  }
  // Signing draws random numbers, so its instructions vary a little from
  // run to run: only the operations that need the message sign it.
  if (op->message && CspMessage().empty()) {
    fprintf(stderr, "bench_callcount: the CSP message could not be signed\n");
    return 1;
  }
  std::optional<SkfKeyUnplugged> unplugged;
  if (op->skfUnplugged) unplugged.emplace();
  for (long i = 0; i < n; ++i) {
    if (!op->run()) {
      fprintf(stderr, "bench_callcount: %s failed (call %ld)\n", op->name, i + 1);
      return 1;
    }
  }
  return 0;
}

}  // namespace
}  // namespace tolmix::bench

int main(int argc, char** argv) { return tolmix::bench::Main(argc, argv); }
