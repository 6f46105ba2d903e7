// PFX import on Windows: PFXImportCertStore with the UTF-16 form of the
// password, the first certificate of the store (CertFindCertificateInStore,
// CERT_FIND_ANY), CertCloseStore.
//
// PKCS12_NO_PERSIST_KEY joins CRYPT_EXPORTABLE: without it every import
// leaves the file's private key behind in a new, exportable key container
// of the user's, though only the certificate is wanted here.
#include "platform/Pfx.h"

#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "platform/CodePage.h"

namespace tolmix::platform {

std::optional<Certificate> ImportPfxFirstCertificate(const unsigned char* image, size_t size,
                                                     std::string_view password) {
  if (image == nullptr || size == 0 || size > MAXDWORD) return std::nullopt;
  std::u16string wide;
  if (!GbkToUtf16(password, &wide)) return std::nullopt;
  CRYPT_DATA_BLOB blob = {static_cast<DWORD>(size), const_cast<BYTE*>(image)};
  HCERTSTORE store = PFXImportCertStore(&blob, reinterpret_cast<const wchar_t*>(wide.c_str()),
                                        CRYPT_EXPORTABLE | PKCS12_NO_PERSIST_KEY);
  SecureZeroMemory(wide.data(), wide.size() * sizeof(char16_t));
  if (store == nullptr) return std::nullopt;
  std::optional<Certificate> first;
  if (PCCERT_CONTEXT cert = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                       CERT_FIND_ANY, nullptr, nullptr)) {
    first = Certificate::FromDer(cert->pbCertEncoded, cert->cbCertEncoded);
    CertFreeCertificateContext(cert);
  }
  CertCloseStore(store, 0);
  return first;
}

}  // namespace tolmix::platform
