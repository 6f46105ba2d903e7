// Certificate parsing and every field getter.  The input is DER (mode
// byte even) or the text handed to CertParse as it is (mode byte odd).
// DER goes through platform::Certificate directly and, as PEM, through the
// control: CertParse, the getters, GetCertInfo with every item code,
// GetCertInfoPfx on the parsed certificate and VerifyCert.
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "control/TOLMIXCtrl.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Certificate.h"
#include "platform/NameFormatter.h"
#include "util/Base64.h"

namespace {

using tolmix::CTOLMIXCtrl;

constexpr int32_t kItems[] = {3001, 3002, 3003, 3004, 3005, 3006, 3007, 3011, 3012,
                              3021, 3031, 3041, 3042, 3043, 3051, 0, -1, 3000};

std::string Pem(const uint8_t* der, size_t size) {
  std::vector<char> b64(static_cast<size_t>(tolmix::Base64EncodedLength(static_cast<int>(size))) + 1);
  tolmix::Base64Encode(b64.data(), der, static_cast<int>(size));
  std::string pem = "-----BEGIN CERTIFICATE-----\n";
  const size_t len = strlen(b64.data());
  for (size_t i = 0; i < len; i += 64) {
    pem.append(b64.data() + i, std::min<size_t>(64, len - i));
    pem += '\n';
  }
  return pem + "-----END CERTIFICATE-----\n";
}

void Check(const std::string& s, size_t max) {
  if (s.size() > max || strlen(s.c_str()) != s.size()) abort();
}

void QueryControl(CTOLMIXCtrl& c, const std::string& text) {
  c.CertParse(text.c_str());
  Check(c.GetCertVersion(), 16);
  Check(c.GetSerialNumber(), 255);
  Check(c.GetSignatureAlgorithm(), 1023);
  Check(c.GetIssuer(), 1023);
  Check(c.GetSubject(), 1023);
  Check(c.GetNotBefore(), 63);
  Check(c.GetNotAfter(), 63);
  Check(c.GetKeyUsage(), 5);
  c.GetCert();
  for (const char* item : {"CN", "", "c", "Email", "OID.2.5.4.3", "E"}) {
    Check(c.GetSubjectEx(item), 1023);
    Check(c.GetIssuerEx(item), 1023);
  }
  c.GetExtensionInfo("X509v3 Key Usage");
  for (int32_t item : kItems) {
    c.GetCertInfo(text.c_str(), item, "CN");
    c.GetCertInfoPfx("", item, "");
  }
  c.VerifyCert(text.c_str());
  if (strnlen(c.GetLastErrorInfo(0).c_str(), 600) >= 512) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tolmix::fuzz::UseSandbox();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 16384) return 0;
  const bool asText = data[0] & 1;
  ++data;
  --size;
  CTOLMIXCtrl* c = CTOLMIXCtrl::Create();
  if (asText) {
    QueryControl(*c, std::string(reinterpret_cast<const char*>(data), size));
  } else {
    if (auto cert = tolmix::platform::Certificate::FromDer(data, size)) {
      cert->Version();
      cert->SerialNumber();
      cert->SignatureAlgorithmOid();
      Check(cert->IssuerName(), 1023);
      Check(cert->SubjectName(), 1023);
      cert->NotBefore();
      cert->NotAfter();
      unsigned char ku[2];
      cert->GetIntendedKeyUsage(ku);
      cert->KeyUsageValue();
      cert->HasKeyUsageExtension();
      cert->SimpleDisplayName();
      cert->IssuerSimpleDisplayName();
    }
    QueryControl(*c, Pem(data, size));
  }
  c->Release();
  return 0;
}
