// Test access to the state of a CMSEngine.
#pragma once

#include "engine/CMSEngine.h"

namespace tolmix {

class CMSEngineTestPeer {
 public:
  explicit CMSEngineTestPeer(CMSEngine& engine) : e_(engine) {}

  ossl::Ptr<EVP_PKEY>& Key() { return e_.m_pKey; }
  ossl::Ptr<X509>& Cert() { return e_.m_pCert; }
  CEngineLog* Log() { return e_.m_pLog.get(); }
  char (&InterfaceName())[CMSEngine::kInterfaceNameSize] { return e_.m_szInterfaceName; }
  char (&CertText())[CMSEngine::kCertTextSize] { return e_.m_szCertText; }
  unsigned char (&CertDer())[CMSEngine::kCertDerSize] { return e_.m_abCertDer; }
  int32_t& CertDerLen() { return e_.m_nCertDerLen; }
  char (&CertName())[CMSEngine::kCertNameSize] { return e_.m_szCertName; }
  int32_t& KeyKind() { return e_.m_nKeyKind; }
  char (&Pin())[CMSEngine::kPinSize] { return e_.m_szPin; }
  char (&Error())[CMSEngine::kErrorTextSize] { return e_.m_szError; }
  ossl::Text& Content() { return e_.m_pContent; }

  void SetError(const char* message) { e_.SetError(message); }
  template <class... Args>
  void FormatError(const char* format, Args... args) {
    e_.FormatError(format, args...);
  }
#if TOLMIX_KEYS_ENGINE
  static ossl::Ptr<ENGINE> FindListedEngine(const char* id) { return EngineModules::FindListedEngine(id); }
#endif

 private:
  CMSEngine& e_;
};

}  // namespace tolmix
