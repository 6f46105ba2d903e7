// Containers, their certificates and public keys, and the private-key
// operations of the standard (signatures) and of the library's extensions
// (decryption).  Every private-key operation needs the user PIN verified
// in the container's application.
#include <sys/stat.h>

#include <cerrno>
#include <vector>

#include "modules/SKFAPI/Internal.h"
#include "modules/SKFAPI/Keys.h"
#include "modules/SKFAPI/Session.h"
#include "modules/SKFAPI/Token.h"

namespace skfapi {
namespace {

ULONG EnumContainer(HAPPLICATION h, LPSTR list, ULONG* size) {
  Application* app = FindApp(h);
  if (!app) return SAR_INVALIDHANDLEERR;
  if (!size) return SAR_INVALIDPARAMERR;
  return WriteNameList(ListEntries(app->dir, ""), list, size);
}

ULONG CreateContainer(HAPPLICATION h, LPSTR name, HCONTAINER* out) {
  Application* app = FindApp(h);
  if (!app) return SAR_INVALIDHANDLEERR;
  if (!out) return SAR_INVALIDPARAMERR;
  *out = nullptr;
  if (!ValidName(name)) return SAR_NAMELENERR;
  if (!app->userVerified) return SAR_USER_NOT_LOGGED_IN;
  std::string dir = app->dir + "/" + name;
  if (mkdir(dir.c_str(), 0700) != 0) {
    return errno == EEXIST ? SAR_FILE_ALREADY_EXIST : SAR_WRITEFILEERR;
  }
  *out = OpenContainerHandle(app, name, dir);
  return SAR_OK;
}

ULONG OpenContainer(HAPPLICATION h, LPSTR name, HCONTAINER* out) {
  Application* app = FindApp(h);
  if (!app) return SAR_INVALIDHANDLEERR;
  if (!out) return SAR_INVALIDPARAMERR;
  *out = nullptr;
  if (!ValidName(name)) return SAR_NAMELENERR;
  std::string dir = app->dir + "/" + name;
  if (!IsDirectory(dir)) return SAR_FILE_NOT_EXIST;
  *out = OpenContainerHandle(app, name, dir);
  return SAR_OK;
}

ULONG CloseContainer(HCONTAINER h) {
  Container* c = FindContainer(h);
  if (!c) return SAR_INVALIDHANDLEERR;
  CloseContainerHandle(c);
  return SAR_OK;
}

ULONG ExportCertificate(HCONTAINER h, BOOL sign, BYTE* out, ULONG* outLen) {
  Container* c = FindContainer(h);
  if (!c) return SAR_INVALIDHANDLEERR;
  if (!outLen) return SAR_INVALIDPARAMERR;
  Ptr<X509> cert;
  if (ULONG rv = LoadCert(c->dir, sign != FALSE, &cert)) return rv;
  unsigned char* der = nullptr;
  int len = i2d_X509(cert.get(), &der);
  if (len <= 0) return SAR_FAIL;
  ULONG rv = PutBytes(der, static_cast<size_t>(len), out, outLen);
  OPENSSL_free(der);
  return rv;
}

ULONG ExportPublicKey(HCONTAINER h, BOOL sign, BYTE* out, ULONG* outLen) {
  Container* c = FindContainer(h);
  if (!c) return SAR_INVALIDHANDLEERR;
  if (!outLen) return SAR_INVALIDPARAMERR;
  Ptr<X509> cert;
  ULONG rv = LoadCert(c->dir, sign != FALSE, &cert);
  if (rv == SAR_CERTNOTFOUNTERR) return SAR_KEYNOTFOUNTERR;
  if (rv) return rv;
  return PublicKeyBlob(X509_get0_pubkey(cert.get()), out, outLen);
}

// The container's private key for one operation: the handle must be open,
// the user PIN verified in its application, and the key present.
ULONG ContainerKey(HCONTAINER h, bool sign, Ptr<EVP_PKEY>* key) {
  Container* c = FindContainer(h);
  if (!c) return SAR_INVALIDHANDLEERR;
  if (!c->app->userVerified) return SAR_USER_NOT_LOGGED_IN;
  return LoadKey(c->dir, sign, key);
}

ULONG ECCSignData(HCONTAINER h, BYTE* data, ULONG len, PECCSIGNATUREBLOB sig) {
  Ptr<EVP_PKEY> key;
  if (ULONG rv = ContainerKey(h, true, &key)) return rv;
  return Sm2SignDigest(key.get(), data, len, sig);
}

ULONG RSASignData(HCONTAINER h, BYTE* data, ULONG len, BYTE* sig, ULONG* sigLen) {
  Ptr<EVP_PKEY> key;
  if (ULONG rv = ContainerKey(h, true, &key)) return rv;
  return RsaSignRaw(key.get(), data, len, sig, sigLen);
}

ULONG EccDecryptDer(HCONTAINER h, BOOL sign, BYTE* der, ULONG derLen, BYTE* out, ULONG* outLen) {
  // OpenSSL's decryption reads a DER prefix and ignores what follows; the
  // ciphertext is checked whole here first.
  std::vector<unsigned char> blob;
  if (!FindContainer(h)) return SAR_INVALIDHANDLEERR;
  if (ULONG rv = DerToCipherBlob(der, derLen, &blob)) return rv;
  Ptr<EVP_PKEY> key;
  if (ULONG rv = ContainerKey(h, sign != FALSE, &key)) return rv;
  return Sm2Decrypt(key.get(), der, derLen, out, outLen);
}

ULONG EccDecrypt(HCONTAINER h, BOOL sign, PECCCIPHERBLOB blob, BYTE* out, ULONG* outLen) {
  if (!FindContainer(h)) return SAR_INVALIDHANDLEERR;
  if (!blob || !outLen) return SAR_INVALIDPARAMERR;
  std::vector<unsigned char> der;
  if (ULONG rv = CipherBlobToDer(blob, &der)) return rv;
  return EccDecryptDer(h, sign, der.data(), static_cast<ULONG>(der.size()), out, outLen);
}

ULONG RsaDecryptExt(HCONTAINER h, BOOL sign, BYTE* in, ULONG inLen, BYTE* out, ULONG* outLen) {
  Ptr<EVP_PKEY> key;
  if (ULONG rv = ContainerKey(h, sign != FALSE, &key)) return rv;
  return RsaDecrypt(key.get(), in, inLen, out, outLen);
}

}  // namespace
}  // namespace skfapi

using namespace skfapi;

SKF_EXPORT ULONG DEVAPI SKF_CreateContainer(HAPPLICATION hApplication, LPSTR szContainerName,
                                            HCONTAINER* phContainer) {
  SKF_RESULT(CreateContainer(hApplication, szContainerName, phContainer));
}
SKF_EXPORT ULONG DEVAPI SKF_OpenContainer(HAPPLICATION hApplication, LPSTR szContainerName,
                                          HCONTAINER* phContainer) {
  SKF_RESULT(OpenContainer(hApplication, szContainerName, phContainer));
}
SKF_EXPORT ULONG DEVAPI SKF_CloseContainer(HCONTAINER hContainer) {
  SKF_RESULT(CloseContainer(hContainer));
}
SKF_EXPORT ULONG DEVAPI SKF_EnumContainer(HAPPLICATION hApplication, LPSTR szContainerName,
                                          ULONG* pulSize) {
  SKF_RESULT(EnumContainer(hApplication, szContainerName, pulSize));
}
SKF_EXPORT ULONG DEVAPI SKF_ExportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbCert,
                                              ULONG* pulCertLen) {
  SKF_RESULT(ExportCertificate(hContainer, bSignFlag, pbCert, pulCertLen));
}
SKF_EXPORT ULONG DEVAPI SKF_ExportPublicKey(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbBlob,
                                            ULONG* pulBlobLen) {
  SKF_RESULT(ExportPublicKey(hContainer, bSignFlag, pbBlob, pulBlobLen));
}
SKF_EXPORT ULONG DEVAPI SKF_ECCSignData(HCONTAINER hContainer, BYTE* pbData, ULONG ulDataLen,
                                        PECCSIGNATUREBLOB pSignature) {
  SKF_RESULT(ECCSignData(hContainer, pbData, ulDataLen, pSignature));
}
SKF_EXPORT ULONG DEVAPI SKF_RSASignData(HCONTAINER hContainer, BYTE* pbData, ULONG ulDataLen,
                                        BYTE* pbSignature, ULONG* pulSignLen) {
  SKF_RESULT(RSASignData(hContainer, pbData, ulDataLen, pbSignature, pulSignLen));
}
SKF_EXPORT ULONG DEVAPI SKFX_ECCDecrypt(HCONTAINER hContainer, BOOL bSignFlag,
                                        PECCCIPHERBLOB pCipherText, BYTE* pbPlainText,
                                        ULONG* pulPlainTextLen) {
  SKF_RESULT(EccDecrypt(hContainer, bSignFlag, pCipherText, pbPlainText, pulPlainTextLen));
}
SKF_EXPORT ULONG DEVAPI SKFX_ECCDecryptDer(HCONTAINER hContainer, BOOL bSignFlag,
                                           BYTE* pbCipherDer, ULONG ulCipherDerLen,
                                           BYTE* pbPlainText, ULONG* pulPlainTextLen) {
  SKF_RESULT(EccDecryptDer(hContainer, bSignFlag, pbCipherDer, ulCipherDerLen, pbPlainText,
                           pulPlainTextLen));
}
SKF_EXPORT ULONG DEVAPI SKFX_RSADecrypt(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbInput,
                                        ULONG ulInputLen, BYTE* pbOutput, ULONG* pulOutputLen) {
  SKF_RESULT(RsaDecryptExt(hContainer, bSignFlag, pbInput, ulInputLen, pbOutput, pulOutputLen));
}
