// Certificates and PFX files made at test time for the certificate method
// tests, and access to the control's fields.
#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <openssl/pkcs12.h>

#include "control/TOLMIXCtrl.h"
#include "engine/OsslPtr.h"

namespace tolmix {

// Reaches the control's fields.
class CTOLMIXCtrlTestPeer {
 public:
  static std::string& CurrentCert(CTOLMIXCtrl& c) { return c.m_strCurrentCert; }
  static char* LastError(CTOLMIXCtrl& c) { return c.m_szLastError; }
  static bool HasParsed(CTOLMIXCtrl& c) { return c.m_pCertContext != nullptr; }
};

namespace test {

enum class KeyKind { kRsa, kSm2 };

// One name attribute: short name as OpenSSL knows it ("CN", "ST",
// "emailAddress", "DC", or a dotted OID), UTF-8 value, and whether it joins
// the previous attribute's RDN (a multi-valued element).
struct Attr {
  std::string field;
  std::string value;
  bool joinPrevious = false;
};

struct CertSpec {
  KeyKind key = KeyKind::kRsa;
  std::vector<Attr> subject = {{"CN", "Tester"}};  // in encoded order
  std::vector<Attr> issuer = {{"CN", "ORVA"}};
  std::string serialHex = "01";                    // BN_hex2bn text
  std::time_t notBefore = 1579089600;              // 2020-01-15 12:00:00Z
  std::time_t notAfter = 1910347200;               // 2030-07-15 12:00:00Z
  std::string keyUsage;                            // v3 text, "" = no extension
  // A private-use extension: dotted OID and its DER value bytes.
  std::string privateOid;
  std::string privateValue;
};

// The certificate of SHAPE as PEM text, signed by a key of its kind (keys
// made once per process; SM2 signs with SM3).
std::string MakePem(const CertSpec& shape);
// The Base64 lines between the markers of PEM.
std::string PemToBase64Body(const std::string& pem);

// Writes a PFX holding the certificate of SHAPE (when WITH_CERT) and its key,
// protected by the UTF-8 password PASSWORD_UTF8, to a new temporary file.
// Returns the path; the caller removes it.
std::string WritePfx(const CertSpec& shape, const std::string& passwordUtf8, bool withCert = true);
// The PFX of WritePfx with the certificate part encrypted by CERT_PBE (0:
// OpenSSL's default) and a MAC of MAC_ITER iterations (0: the default, -1:
// none), parts encrypted with ITER iterations (0: the default); SavePfx
// writes one to a new temporary file and returns its path.
ossl::Ptr<PKCS12> MakePfx(const CertSpec& shape, const std::string& passwordUtf8, bool withCert,
                          int certPbe, int macIter, int iter = 0);
std::string SavePfx(PKCS12* p12);

// UTF-8 to GBK through iconv; fails the test on a text without a GBK form.
std::string Gbk(const std::string& utf8);

// An RSA certificate with every name element the items ask for: commas and
// quotes in values, Chinese values, a multi-valued element holding the
// e-mail address, an issuer "ORVA" with an e-mail element, serial 00 ff 01
// 02, key usage 32992 and the private extension kPrivateOid.
CertSpec FullSpec();
inline constexpr char kPrivateOid[] = "1.2.156.10260.4.1.1";
// Its value as printed (the DER header bytes of the PrintableString as "."):
inline constexpr char kPrivatePrinted[] = "..110101199001011234";
// Names of FullSpec as UTF-8 (the control returns them in GBK).
inline constexpr char kFullSubject[] =
    "CN=张三 + E=zhang@example.cn, OU=\"say \"\"hi\"\"\", O=\"Acme, Inc.\", L=海淀区, "
    "S=北京市, C=CN";
inline constexpr char kFullIssuer[] = "E=ca@orva.cn, CN=ORVA, O=ORVA Root, C=CN";

// A control with one reference, released at the end of the scope.
struct ReleaseCtrl {
  void operator()(CTOLMIXCtrl* c) const { c->Release(); }
};
using CtrlPtr = std::unique_ptr<CTOLMIXCtrl, ReleaseCtrl>;
inline CtrlPtr NewControl() { return CtrlPtr(CTOLMIXCtrl::Create()); }

}  // namespace test
}  // namespace tolmix
