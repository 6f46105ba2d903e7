// The sandbox's test PKI: four authorities and the certificates of the
// devices, the store and the tests, made with OpenSSL's C API.  The PKI is
// kept between runs (certificates in pkiDir, keys in keysDir), so a second
// run provisions the very same certificates.
#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

#include "host/SandboxParts.h"

namespace tolmix::host::sandbox {
namespace {

enum class Alg { kRsa, kSm2 };

constexpr char kSign[] = "critical,digitalSignature,nonRepudiation";
constexpr char kEnc[] = "critical,keyEncipherment,dataEncipherment";
constexpr char kBoth[] =
    "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment";
constexpr char kAuthority[] = "critical,keyCertSign,cRLSign";

// Extension that the issuer-dependent extension item reads: a private OID
// whose value is SEQUENCE { PrintableString }.  Printed raw, the value starts
// with the 4 header bytes that the item drops for certificates of
// "Quenmark电子政务证书认证中心".
constexpr char kIdentityOid[] = "1.2.156.10260.4.1.1";
constexpr char kIdentityCode[] = "110101199001011234";

struct Profile {
  const char* name;     // file base name
  const char* issuer;   // profile name of the issuer; nullptr: a self-signed authority
  Alg alg;
  const char* subject;  // "KEY=value|KEY=value...", most general first, UTF-8
  const char* usage;    // keyUsage extension value
  bool identityExtension;
  bool keyPublished;    // the key is copied to pkiDir (no device holds it)
};

// Bump when the table changes: a kept PKI of another version is made anew.
constexpr int kProfileVersion = 1;

// Authorities come before the certificates they issue.
constexpr Profile kProfiles[] = {
    {"ca-orva", nullptr, Alg::kRsa, "C=CN|O=ORVA|CN=ORVA", kAuthority, false, false},
    {"ca-orvarsa", nullptr, Alg::kRsa, "C=CN|O=ORVA|OU=RSA|CN=ORVARSA", kAuthority, false, false},
    {"ca-orvasm2", nullptr, Alg::kSm2, "C=CN|O=ORVA|OU=SM2|CN=ORVASM2", kAuthority, false, false},
    // CN=Quenmark电子政务证书认证中心
    {"ca-quenmark", nullptr, Alg::kRsa,
     "C=CN|O=Quenmark|CN=Quenmark\xe7\x94\xb5\xe5\xad\x90\xe6\x94\xbf\xe5\x8a\xa1\xe8\xaf\x81"
     "\xe4\xb9\xa6\xe8\xae\xa4\xe8\xaf\x81\xe4\xb8\xad\xe5\xbf\x83",
     kAuthority, false, false},
    {"p11-sign", "ca-orvarsa", Alg::kRsa,
     "C=CN|ST=Beijing|L=Haidian|O=Tolmix Sandbox|OU=P11|CN=Tolmix P11 Sign"
     "|emailAddress=p11-sign@sandbox.tolmix.test",
     kSign, false, false},
    {"p11-exchange", "ca-orvarsa", Alg::kRsa,
     "C=CN|O=Tolmix Sandbox|OU=P11|CN=Tolmix P11 Exchange", kEnc, false, false},
    // ST=北京, L=海淀, O=测试单位, CN=测试用户SM2
    {"skf-sm2-sign", "ca-orvasm2", Alg::kSm2,
     "C=CN|ST=\xe5\x8c\x97\xe4\xba\xac|L=\xe6\xb5\xb7\xe6\xb7\x80"
     "|O=\xe6\xb5\x8b\xe8\xaf\x95\xe5\x8d\x95\xe4\xbd\x8d|OU=SKF"
     "|CN=\xe6\xb5\x8b\xe8\xaf\x95\xe7\x94\xa8\xe6\x88\xb7" "SM2",
     kSign, false, false},
    {"skf-sm2-enc", "ca-orvasm2", Alg::kSm2, "C=CN|O=Tolmix Sandbox|OU=SKF|CN=Tolmix SM2 Enc",
     kEnc, false, false},
    {"skf-rsa", "ca-orvarsa", Alg::kRsa, "C=CN|O=Tolmix Sandbox|OU=SKF|CN=Tolmix SKF RSA", kSign,
     false, false},
    // O=测试单位, CN=测试用户CSP签名
    {"csp-sign", "ca-orva", Alg::kRsa,
     "C=CN|O=\xe6\xb5\x8b\xe8\xaf\x95\xe5\x8d\x95\xe4\xbd\x8d|OU=CSP"
     "|CN=\xe6\xb5\x8b\xe8\xaf\x95\xe7\x94\xa8\xe6\x88\xb7" "CSP\xe7\xad\xbe\xe5\x90\x8d",
     kSign, false, false},
    {"csp-enc", "ca-orva", Alg::kRsa, "C=CN|O=Tolmix Sandbox|OU=CSP|CN=Tolmix CSP Enc", kEnc,
     false, false},
    {"other-rsa", "ca-orvarsa", Alg::kRsa,
     "C=CN|O=Tolmix Sandbox|OU=Other|CN=Tolmix Other Recipient", kBoth, false, true},
    {"quenmark-user", "ca-quenmark", Alg::kRsa, "C=CN|O=Quenmark|CN=Quenmark Sandbox User",
     kSign, true, false},
};

constexpr long kAuthorityDays = 20 * 365;
constexpr long kUserDays = 10 * 365;
constexpr int kRsaBits = 2048;
// GM/T 0009 default signer ID, used for every SM2 signature and check.
constexpr char kSm2Id[] = "1234567812345678";

const Profile* FindProfile(std::string_view name) {
  for (const Profile& p : kProfiles) {
    if (name == p.name) return &p;
  }
  return nullptr;
}

std::string OpenSslReason() {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "no detail";
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  return text;
}

ossl::Ptr<EVP_PKEY> GenerateKey(Alg alg) {
  if (alg == Alg::kSm2) return ossl::Ptr<EVP_PKEY>(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
  return ossl::Ptr<EVP_PKEY>(
      EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(kRsaBits)));
}

// "KEY=value|..." into a name; values are UTF-8 and stored as OpenSSL's
// default string type for them (UTF8String, PrintableString for C).
ossl::Ptr<X509_NAME> ParseSubject(std::string_view text) {
  ossl::Ptr<X509_NAME> name(X509_NAME_new());
  while (name && !text.empty()) {
    size_t bar = text.find('|');
    std::string item(text.substr(0, bar));
    text = bar == std::string_view::npos ? std::string_view() : text.substr(bar + 1);
    size_t eq = item.find('=');
    if (eq == std::string::npos) return nullptr;
    std::string key = item.substr(0, eq);
    if (!X509_NAME_add_entry_by_txt(name.get(), key.c_str(), MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(item.c_str() + eq + 1),
                                    -1, -1, 0)) {
      return nullptr;
    }
  }
  return name;
}

bool AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  ossl::Ptr<X509_EXTENSION> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  return ext && X509_add_ext(cert, ext.get(), -1);
}

bool AddIdentityExtension(X509* cert) {
  // SEQUENCE { PrintableString kIdentityCode }, DER by hand: both lengths
  // are short-form.
  size_t n = strlen(kIdentityCode);
  std::string der = {0x30, static_cast<char>(n + 2), 0x13, static_cast<char>(n)};
  der += kIdentityCode;
  ossl::Ptr<ASN1_OBJECT> oid(OBJ_txt2obj(kIdentityOid, 1));
  ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
  bool ok = oid && value &&
            ASN1_OCTET_STRING_set(value, reinterpret_cast<const unsigned char*>(der.data()),
                                  static_cast<int>(der.size()));
  ossl::Ptr<X509_EXTENSION> ext(
      ok ? X509_EXTENSION_create_by_OBJ(nullptr, oid.get(), 0, value) : nullptr);
  ASN1_OCTET_STRING_free(value);
  return ext && X509_add_ext(cert, ext.get(), -1);
}

bool RandomSerial(X509* cert) {
  unsigned char bytes[8];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
  bytes[0] = static_cast<unsigned char>((bytes[0] & 0x7F) | 0x01);  // positive, 8 bytes
  ossl::Ptr<BIGNUM> bn(BN_bin2bn(bytes, sizeof bytes, nullptr));
  return bn && BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert)) != nullptr;
}

// Signs CERT with KEY: sha256WithRSAEncryption for RSA, SM2-with-SM3
// (1.2.156.10197.1.501) with the default signer ID for SM2.
bool SignCertificate(X509* cert, EVP_PKEY* key) {
  ossl::Ptr<EVP_MD_CTX> md(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;  // owned by MD
  bool sm2 = EVP_PKEY_is_a(key, "SM2");
  if (!md || EVP_DigestSignInit(md.get(), &pctx, sm2 ? EVP_sm3() : EVP_sha256(), nullptr,
                                key) != 1) {
    return false;
  }
  if (sm2 && EVP_PKEY_CTX_set1_id(pctx, kSm2Id, strlen(kSm2Id)) <= 0) return false;
  return X509_sign_ctx(cert, md.get()) > 0;
}

// Checks that CERT was signed by ISSUER_KEY (with the SM2 signer ID for SM2).
bool SignedBy(X509* cert, EVP_PKEY* issuerKey) {
  if (EVP_PKEY_is_a(issuerKey, "SM2")) {
    ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
    if (!id || !ASN1_OCTET_STRING_set(id, reinterpret_cast<const unsigned char*>(kSm2Id),
                                      static_cast<int>(strlen(kSm2Id)))) {
      ASN1_OCTET_STRING_free(id);
      return false;
    }
    X509_set0_distinguishing_id(cert, id);  // CERT owns ID now
  }
  bool ok = X509_verify(cert, issuerKey) == 1;
  ERR_clear_error();
  return ok;
}

ossl::Ptr<X509> Issue(const Profile& p, EVP_PKEY* key, X509* issuerCert, EVP_PKEY* issuerKey) {
  ossl::Ptr<X509> cert(X509_new());
  ossl::Ptr<X509_NAME> subject = ParseSubject(p.subject);
  if (!cert || !subject) return nullptr;
  bool self = issuerCert == nullptr;
  X509* issuer = self ? cert.get() : issuerCert;
  long days = self ? kAuthorityDays : kUserDays;
  bool ok = X509_set_version(cert.get(), 2) && RandomSerial(cert.get()) &&
            X509_set_subject_name(cert.get(), subject.get()) &&
            X509_set_issuer_name(cert.get(), self ? subject.get()
                                                  : X509_get_subject_name(issuerCert)) &&
            X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24 * 3600L) &&
            X509_gmtime_adj(X509_getm_notAfter(cert.get()), days * 24 * 3600L) &&
            X509_set_pubkey(cert.get(), key) &&
            AddExtension(cert.get(), issuer, NID_basic_constraints,
                         self ? "critical,CA:TRUE" : "critical,CA:FALSE") &&
            AddExtension(cert.get(), issuer, NID_key_usage, p.usage) &&
            AddExtension(cert.get(), issuer, NID_subject_key_identifier, "hash") &&
            (self || AddExtension(cert.get(), issuer, NID_authority_key_identifier,
                                  "keyid:always")) &&
            (!p.identityExtension || AddIdentityExtension(cert.get())) &&
            SignCertificate(cert.get(), self ? key : issuerKey);
  return ok ? std::move(cert) : nullptr;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string VersionPath(const std::string& keysDir) { return keysDir + "/profile-version"; }

}  // namespace

X509* Pki::Cert(const std::string& name) const {
  auto it = entries_.find(name);
  return it == entries_.end() ? nullptr : it->second.cert.get();
}

EVP_PKEY* Pki::Key(const std::string& name) const {
  auto it = entries_.find(name);
  return it == entries_.end() ? nullptr : it->second.key.get();
}

bool Pki::LoadOrCreate(const Layout& layout, std::string* error) {
  pkiDir_ = layout.pkiDir;
  keysDir_ = layout.keysDir;
  std::string reason;
  if (!Load(&reason)) {
    entries_.clear();
    if (!Create(error) || !Save(error)) return false;
  }
  // The published keys are rewritten every run, so a deleted copy comes back.
  for (const Profile& p : kProfiles) {
    if (!p.keyPublished) continue;
    std::string pem = ReadText(KeyPath(p.name));
    if (pem.empty() || !WriteFileAtomic(pkiDir_ + "/" + p.name + ".key", pem, 0600, error)) {
      if (error->empty()) *error = "cannot read " + KeyPath(p.name);
      return false;
    }
  }
  return true;
}

// A kept PKI is used only when it is whole: the same profile version, every
// key and certificate readable, each key matching its certificate and each
// certificate signed by its issuer's key.
bool Pki::Load(std::string* error) {
  if (ReadText(VersionPath(keysDir_)) != std::to_string(kProfileVersion) + "\n") {
    *error = "no PKI of this version";
    return false;
  }
  for (const Profile& p : kProfiles) {
    Entry e;
    ossl::Ptr<BIO> certBio(BIO_new_file(CertPath(p.name).c_str(), "r"));
    ossl::Ptr<BIO> keyBio(BIO_new_file(KeyPath(p.name).c_str(), "r"));
    if (certBio) e.cert.reset(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
    if (keyBio) e.key.reset(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    ERR_clear_error();
    EVP_PKEY* issuerKey = p.issuer ? Key(p.issuer) : e.key.get();
    if (!e.cert || !e.key || !issuerKey || X509_check_private_key(e.cert.get(), e.key.get()) != 1 ||
        !SignedBy(e.cert.get(), issuerKey)) {
      ERR_clear_error();
      *error = std::string(p.name) + " is missing or does not match";
      return false;
    }
    entries_[p.name] = std::move(e);
  }
  return true;
}

bool Pki::Create(std::string* error) {
  for (const Profile& p : kProfiles) {
    Entry e;
    e.key = GenerateKey(p.alg);
    if (!e.key) {
      *error = std::string("key generation for ") + p.name + " failed: " + OpenSslReason();
      return false;
    }
    const Profile* issuer = p.issuer ? FindProfile(p.issuer) : nullptr;
    if (p.issuer && (!issuer || !Cert(p.issuer))) {
      *error = std::string("issuer of ") + p.name + " comes after it in the table";
      return false;
    }
    e.cert = Issue(p, e.key.get(), issuer ? Cert(p.issuer) : nullptr,
                   issuer ? Key(p.issuer) : nullptr);
    if (!e.cert) {
      *error = std::string("issuing ") + p.name + " failed: " + OpenSslReason();
      return false;
    }
    entries_[p.name] = std::move(e);
  }
  return true;
}

bool Pki::Save(std::string* error) const {
  for (const Profile& p : kProfiles) {
    const Entry& e = entries_.at(p.name);
    ossl::Ptr<BIO> certMem(BIO_new(BIO_s_mem()));
    ossl::Ptr<BIO> keyMem(BIO_new(BIO_s_mem()));
    if (!certMem || !keyMem || !PEM_write_bio_X509(certMem.get(), e.cert.get()) ||
        !PEM_write_bio_PrivateKey(keyMem.get(), e.key.get(), nullptr, nullptr, 0, nullptr,
                                  nullptr)) {
      *error = std::string("PEM of ") + p.name + " failed: " + OpenSslReason();
      return false;
    }
    char* data = nullptr;
    long n = BIO_get_mem_data(certMem.get(), &data);
    std::string certPem(data, static_cast<size_t>(n));
    n = BIO_get_mem_data(keyMem.get(), &data);
    std::string keyPem(data, static_cast<size_t>(n));
    bool ok = WriteFileAtomic(KeyPath(p.name), keyPem, 0600, error) &&
              WriteFileAtomic(CertPath(p.name), certPem, 0644, error);
    OPENSSL_cleanse(keyPem.data(), keyPem.size());
    if (!ok) return false;
  }
  // Written last: a run cut short leaves no version, so the next run starts over.
  return WriteFileAtomic(VersionPath(keysDir_), std::to_string(kProfileVersion) + "\n", 0600,
                         error);
}

}  // namespace tolmix::host::sandbox
