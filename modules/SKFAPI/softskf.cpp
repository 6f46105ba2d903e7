// softskf: provisioning command of the soft SKF token.
//   softskf init DEV APP USERPIN SOPIN [RETRIES]
//       create device DEV and application APP when missing and (re)set both
//       PINs with RETRIES tries each (default 10); containers are kept.
//   softskf import DEV APP CONTAINER --sign-key KEY --sign-cert CERT
//                                    [--enc-key KEY --enc-cert CERT]
//       store SM2 or RSA key pairs with their certificates (PEM or DER) in
//       CONTAINER (created when missing), replacing the pairs given.
//   softskf list
//       show the token: devices, applications with their PIN counters,
//       containers with the subject and key type of each certificate.
// Every command may be repeated with the same effect.  The token is the one
// the library uses ($TOLMIX_SKF_TOKEN_DIR, see Token.h).  Exit status: 0
// done, 1 failed (reason on standard error), 2 usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <openssl/x509.h>

#include "modules/SKFAPI/Internal.h"
#include "modules/SKFAPI/Keys.h"
#include "modules/SKFAPI/Token.h"

namespace {

using skfapi::Ptr;

int Usage() {
  fprintf(stderr,
          "usage: softskf init DEV APP USERPIN SOPIN [RETRIES]\n"
          "       softskf import DEV APP CONTAINER --sign-key KEY --sign-cert CERT"
          " [--enc-key KEY --enc-cert CERT]\n"
          "       softskf list\n");
  return 2;
}

int Fail(const char* what, ULONG code) {
  fprintf(stderr, "softskf: %s failed, error code 0x%08X\n", what, static_cast<unsigned>(code));
  return 1;
}

std::vector<std::string> Names(const std::vector<char>& list) {
  std::vector<std::string> out;
  for (const char* p = list.data(); p < list.data() + list.size() && *p; p += strlen(p) + 1) {
    out.emplace_back(p);
  }
  return out;
}

// Runs an SKF listing call twice: size query, then into a buffer.
template <class F>
std::vector<std::string> List(F call) {
  ULONG size = 0;
  if (call(nullptr, &size) != SAR_OK || size == 0) return {};
  std::vector<char> buf(size + 1, '\0');
  if (call(buf.data(), &size) != SAR_OK) return {};
  return Names(buf);
}

int Init(int argc, char** argv) {
  if (argc < 6 || argc > 7) return Usage();
  char* end = nullptr;
  unsigned long retries = argc == 7 ? strtoul(argv[6], &end, 10) : 10;
  if (argc == 7 && (*end || retries == 0 || retries > 255)) return Usage();
  ULONG rv = SKFX_InitApplication(argv[2], argv[3], argv[4], argv[5], static_cast<ULONG>(retries));
  if (rv) return Fail("init", rv);
  printf("initialised %s/%s with %lu tries per PIN in %s\n", argv[2], argv[3], retries,
         skfapi::TokenDir().c_str());
  return 0;
}

int ImportOne(char** argv, bool sign, const char* keyPath, const char* certPath) {
  std::string key, cert;
  if (!skfapi::ReadFile(keyPath, &key)) {
    fprintf(stderr, "softskf: cannot read %s\n", keyPath);
    return 1;
  }
  if (!skfapi::ReadFile(certPath, &cert)) {
    fprintf(stderr, "softskf: cannot read %s\n", certPath);
    return 1;
  }
  ULONG rv = SKFX_ImportKeyPair(argv[2], argv[3], argv[4], sign ? TRUE : FALSE,
                                reinterpret_cast<BYTE*>(key.data()), static_cast<ULONG>(key.size()),
                                reinterpret_cast<BYTE*>(cert.data()),
                                static_cast<ULONG>(cert.size()));
  OPENSSL_cleanse(key.data(), key.size());
  if (rv) return Fail(sign ? "import of the signature pair" : "import of the encryption pair", rv);
  printf("imported %s pair into %s/%s/%s\n", sign ? "signature" : "encryption", argv[2], argv[3],
         argv[4]);
  return 0;
}

int Import(int argc, char** argv) {
  if (argc < 7 || (argc - 5) % 2 != 0) return Usage();
  const char* opt[4] = {};  // sign key, sign cert, enc key, enc cert
  static const char* const kNames[4] = {"--sign-key", "--sign-cert", "--enc-key", "--enc-cert"};
  for (int i = 5; i < argc; i += 2) {
    int which = -1;
    for (int k = 0; k < 4; ++k) {
      if (strcmp(argv[i], kNames[k]) == 0) which = k;
    }
    if (which < 0) return Usage();
    opt[which] = argv[i + 1];
  }
  // A pair is given whole or not at all, and at least one pair is given.
  if (!opt[0] != !opt[1] || !opt[2] != !opt[3] || (!opt[0] && !opt[2])) return Usage();
  if (opt[0]) {
    if (int rc = ImportOne(argv, true, opt[0], opt[1])) return rc;
  }
  if (opt[2]) return ImportOne(argv, false, opt[2], opt[3]);
  return 0;
}

void ShowCert(HCONTAINER c, BOOL sign) {
  const char* label = sign ? "sign" : "enc ";
  ULONG len = 0;
  ULONG rv = SKF_ExportCertificate(c, sign, nullptr, &len);
  std::vector<BYTE> der(len);
  if (rv == SAR_OK) rv = SKF_ExportCertificate(c, sign, der.data(), &len);
  if (rv != SAR_OK) {
    printf("      %s: none\n", label);
    return;
  }
  const unsigned char* p = der.data();
  Ptr<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(len)));
  char subject[256] = "?";
  if (cert) X509_NAME_oneline(X509_get_subject_name(cert.get()), subject, sizeof subject);
  skfapi::KeyAlg alg = skfapi::AlgOf(cert ? X509_get0_pubkey(cert.get()) : nullptr);
  printf("      %s: %s %s\n", label,
         alg == skfapi::KeyAlg::kSm2 ? "SM2" : alg == skfapi::KeyAlg::kRsa ? "RSA" : "?", subject);
}

int ListToken() {
  printf("token %s\n", skfapi::TokenDir().c_str());
  for (auto& dev : List([](LPSTR b, ULONG* s) { return SKF_EnumDev(FALSE, b, s); })) {
    ULONG state = 0;
    SKF_GetDevState(dev.data(), &state);
    printf("device %s%s\n", dev.c_str(), state == DEV_PRESENT_STATE ? "" : " (absent)");
    DEVHANDLE h = nullptr;
    if (SKF_ConnectDev(dev.data(), &h) != SAR_OK) continue;
    for (auto& app : List([h](LPSTR b, ULONG* s) { return SKF_EnumApplication(h, b, s); })) {
      HAPPLICATION a = nullptr;
      if (SKF_OpenApplication(h, app.data(), &a) != SAR_OK) continue;
      ULONG umax = 0, uleft = 0, amax = 0, aleft = 0;
      SKF_GetPINInfo(a, USER_TYPE, &umax, &uleft, nullptr);
      SKF_GetPINInfo(a, ADMIN_TYPE, &amax, &aleft, nullptr);
      printf("  application %s: user PIN %u/%u tries left, admin PIN %u/%u\n", app.c_str(),
             static_cast<unsigned>(uleft), static_cast<unsigned>(umax),
             static_cast<unsigned>(aleft), static_cast<unsigned>(amax));
      for (auto& name : List([a](LPSTR b, ULONG* s) { return SKF_EnumContainer(a, b, s); })) {
        HCONTAINER c = nullptr;
        if (SKF_OpenContainer(a, name.data(), &c) != SAR_OK) continue;
        printf("    container %s\n", name.c_str());
        ShowCert(c, TRUE);
        ShowCert(c, FALSE);
        SKF_CloseContainer(c);
      }
      SKF_CloseApplication(a);
    }
    SKF_DisConnectDev(h);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  if (strcmp(argv[1], "init") == 0) return Init(argc, argv);
  if (strcmp(argv[1], "import") == 0) return Import(argc, argv);
  if (strcmp(argv[1], "list") == 0 && argc == 2) return ListToken();
  return Usage();
}
