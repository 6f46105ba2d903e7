// The current user's CryptoAPI system store "MY", with each certificate's
// key-provider information (CERT_KEY_PROV_INFO_PROP_ID), and private keys
// imported into a provider's key container (CryptImportKey of the
// PRIVATEKEYBLOB that OpenSSL writes, as an exchange key).  Provider and
// container names are ANSI text of the system code page.
#include "platform/Store.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <windows.h>
#include <wincrypt.h>

namespace tolmix::platform {
namespace {

std::string Ansi(const wchar_t* w) {
  if (w == nullptr || *w == L'\0') return std::string();
  int n = WideCharToMultiByte(CP_ACP, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, w, -1, s.data(), n, nullptr, nullptr);
  s.resize(static_cast<size_t>(n - 1));
  return s;
}

std::wstring Wide(std::string_view a) {
  if (a.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_ACP, 0, a.data(), static_cast<int>(a.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, a.data(), static_cast<int>(a.size()), w.data(), n);
  return w;
}

class MyStore {
 public:
  MyStore() : h_(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "MY")) {}
  ~MyStore() {
    if (h_) CertCloseStore(h_, 0);
  }
  HCERTSTORE get() const { return h_; }

 private:
  HCERTSTORE h_;
};

void Fail(std::string* error, const char* what) {
  if (error) *error = std::string(what) + " (error " + std::to_string(GetLastError()) + ")";
}

}  // namespace

bool ReadMyStore(std::vector<StoreCertificate>* out, std::string* error) {
  out->clear();
  MyStore store;
  if (!store.get()) {
    Fail(error, "cannot open the MY store");
    return false;
  }
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store.get(), c)) != nullptr;) {
    StoreCertificate entry;
    entry.der.assign(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
    entry.thumbprint = Thumbprint(entry.der);
    DWORD size = 0;
    if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
      std::vector<unsigned char> buf(size);
      if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &size)) {
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
        entry.provider = Ansi(info->pwszProvName);
        entry.container = Ansi(info->pwszContainerName);
      }
    }
    out->push_back(std::move(entry));
  }
  return true;
}

bool ImportToMy(const std::vector<unsigned char>& der, std::string_view provider,
                std::string_view container, std::string* thumbprint, std::string* error) {
  MyStore store;
  PCCERT_CONTEXT added = nullptr;
  if (!store.get() ||
      !CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(),
                                        static_cast<DWORD>(der.size()),
                                        CERT_STORE_ADD_REPLACE_EXISTING, &added)) {
    Fail(error, "cannot add the certificate to MY");
    return false;
  }
  bool ok = true;
  if (!provider.empty()) {
    std::wstring prov = Wide(provider), cont = Wide(container);
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = cont.data();
    info.pwszProvName = prov.data();
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_KEYEXCHANGE;
    ok = CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) != FALSE;
    if (!ok) Fail(error, "cannot set the key-provider information");
  }
  CertFreeCertificateContext(added);
  if (ok && thumbprint) *thumbprint = Thumbprint(der);
  return ok;
}

bool RemoveFromMy(std::string_view thumbprint, std::string* error) {
  MyStore store;
  if (!store.get()) {
    Fail(error, "cannot open the MY store");
    return false;
  }
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store.get(), c)) != nullptr;) {
    std::vector<unsigned char> der(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
    if (_stricmp(Thumbprint(der).c_str(), std::string(thumbprint).c_str()) == 0) {
      PCCERT_CONTEXT dup = CertDuplicateCertificateContext(c);
      CertFreeCertificateContext(c);
      return CertDeleteCertificateFromStore(dup) != FALSE;
    }
  }
  if (error) *error = "no such certificate";
  return false;
}

bool AddSoftProvider(std::string_view, std::string* error) {
  if (error) *error = "providers are installed by Windows";
  return false;
}

bool PutContainerKey(std::string_view provider, std::string_view container, EVP_PKEY* key,
                     std::string* error) {
  BIO* mem = BIO_new(BIO_s_mem());
  if (mem == nullptr || i2b_PrivateKey_bio(mem, key) <= 0) {
    BIO_free(mem);
    if (error) *error = "the key has no PRIVATEKEYBLOB form";
    return false;
  }
  BYTE* blob = nullptr;
  long len = BIO_get_mem_data(mem, &blob);
  std::string prov(provider), cont(container);
  HCRYPTPROV h = 0;
  bool ok = CryptAcquireContextA(&h, cont.c_str(), prov.c_str(), PROV_RSA_FULL, 0) ||
            CryptAcquireContextA(&h, cont.c_str(), prov.c_str(), PROV_RSA_FULL, CRYPT_NEWKEYSET);
  HCRYPTKEY k = 0;
  ok = ok && CryptImportKey(h, blob, static_cast<DWORD>(len), 0, 0, &k);
  if (!ok) Fail(error, "cannot import the key into its container");
  if (k) CryptDestroyKey(k);
  if (h) CryptReleaseContext(h, 0);
  BIO_free(mem);
  return ok;
}

bool RemoveContainerKey(std::string_view provider, std::string_view container,
                        std::string* error) {
  HCRYPTPROV h = 0;
  std::string prov(provider), cont(container);
  if (!CryptAcquireContextA(&h, cont.c_str(), prov.c_str(), PROV_RSA_FULL, CRYPT_DELETEKEYSET)) {
    Fail(error, "no such key container");
    return false;
  }
  return true;
}

}  // namespace tolmix::platform
