// CTOLMIXCtrl: the scriptable control.  Its value lies in its dispatch
// interface _DTOLMIX (36 methods, 7 read-only result properties, table in
// control/DispatchTable.h).  Every member takes and returns text; failures
// are values: a method returns false or "" and leaves its reason in
// m_szLastError, which GetLastErrorInfo(0) reads back.
//
// The public member functions below are the members of _DTOLMIX as the
// control sees them after the text boundary: string arguments are GBK C
// strings (never null), string results GBK.  Invoke converts between them
// and the UTF-16 VARIANTs of a script (control/TextBoundary.h).
//
// Threading: apartment.  An instance is called on one thread only; only
// the process-wide session (control/Session.h) is shared between threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "control/ObjectSafety.h"
#include "platform/Com.h"

namespace tolmix::platform {
class Certificate;  // the parsed certificate held by m_pCertContext
}

namespace tolmix {

class CTOLMIXCtrlTestPeer;

class CTOLMIXCtrl : public platform::IDispatch {
 public:
  // Owner of the parsed certificate.  The deleter comes with the pointer
  // from whoever parses the certificate, so this header needs only the
  // declaration of platform::Certificate.
  using CertContextPtr =
      std::unique_ptr<platform::Certificate, void (*)(platform::Certificate*)>;

  // A new control with one reference, which the caller owns.  Its selector
  // is a copy of the session's at this moment.
  static CTOLMIXCtrl* Create();

  // IUnknown.  The control answers IID_IUnknown, IID_IDispatch,
  // DIID__DTOLMIX and IID_IObjectSafety (its part m_xObjSafe).
  platform::HRESULT QueryInterface(const platform::IID& iid, void** out) override;
  platform::ULONG AddRef() override;
  platform::ULONG Release() override;

  // IDispatch (control/DispatchInvoke.cpp).  GetTypeInfo(0) serves the
  // type information of _DTOLMIX (control/TypeLib.h).
  platform::HRESULT GetTypeInfoCount(unsigned* count) override;
  platform::HRESULT GetTypeInfo(unsigned index, platform::LCID lcid,
                                platform::ITypeInfo** info) override;
  platform::HRESULT GetIDsOfNames(const platform::IID& riid, const platform::OLECHAR* const* names,
                                  unsigned count, platform::LCID lcid,
                                  platform::DISPID* ids) override;
  platform::HRESULT Invoke(platform::DISPID id, const platform::IID& riid, platform::LCID lcid,
                           uint16_t flags, platform::DISPPARAMS* params,
                           platform::VARIANT* result, platform::EXCEPINFO* excepinfo,
                           unsigned* argerr) override;

  // Properties (read the field; ErrorCode always 0).
  std::string GetSignedData() const { return m_strSignedData; }
  std::string GetEncryptedData() const { return m_strEncryptedData; }
  int32_t GetErrorCode() const { return 0; }
  std::string GetDecryptedData() const { return m_strDecryptedData; }
  std::string GetAllCSP() const { return m_strAllCSP; }
  std::string GetDigestData() const { return m_strDigestData; }
  std::string GetSignProData() const { return m_strSignProData; }
  // Assigning any property is accepted, stores nothing and only marks the
  // control modified for its container.
  void OnPropertyPut() { m_bModified = true; }
  bool IsModified() const { return m_bModified; }
  // The container saved the control, or loaded it (a load's puts are not
  // the user's changes).
  void ClearModified() { m_bModified = false; }

  // Error text: ERRORID 0 gives m_szLastError, any other "".  Never changes
  // the text.
  std::string GetLastErrorInfo(int32_t errorid) const;

  // Session set-up (control/SessionMethods.cpp).
  bool Initialize(const char* ProviderName, const char* Password);
  bool InitializeGM(const char* GMDLLFileName, const char* Password);
  bool SetPasswd(const char* szInterface, const char* szPasswd, int32_t lCKType);
  bool ClearPasswd();
  bool GetAllCSPInfo();

  // Messages (control/MessageMethods.cpp).
  bool Sign(const char* Content);
  bool Verify(const char* Content, const char* SignedData);
  bool Encrypt(const char* Content, const char* CertPem);
  bool Decrypt(const char* EncryptedData);
  bool Digest(const char* srcData, int16_t algo);

  // Certificates (control/CertMethods.cpp).
  bool CertParse(const char* CertPem);
  std::string GetCertVersion();
  std::string GetSerialNumber();
  std::string GetSignatureAlgorithm();
  std::string GetIssuer();
  std::string GetSubject();
  std::string GetNotBefore();
  std::string GetNotAfter();
  std::string GetKeyUsage();
  std::string GetCert();
  std::string GetSubjectEx(const char* Item);
  std::string GetIssuerEx(const char* Item);
  std::string GetExtensionInfo(const char* Item);
  std::string GetCertInfo(const char* szCertPem, int32_t lItem, const char* szExOid);
  bool VerifyCert(const char* szCertPem);
  bool CertParsePfx(const char* strPathName, const char* strPassWord, const char* strToWhere);
  std::string GetCertInfoPfx(const char* szPathName, int32_t lItem, const char* szPassWord);

  // Envelopes, files and raw signatures (control/FileMethods.cpp).
  std::string GetCertEx(int16_t CertType);
  std::string SignEnvelope(const char* szData);
  std::string VerifySignEnvelope(const char* szSigned);
  bool EncryptFile(const char* strFromFile, const char* strEncFile, const char* strCertPem);
  bool DecryptFile(const char* strEncFile, const char* strToFile);
  bool P1Sign(const char* Content);
  bool P1Verify(const char* Content, const char* SignedData);

  void AboutBox();

  // Copies TEXT (GBK) into m_szLastError, cut to 511 bytes.
  void RecordError(const char* text);

 protected:
  CTOLMIXCtrl();
  virtual ~CTOLMIXCtrl();
  CTOLMIXCtrl(const CTOLMIXCtrl&) = delete;
  CTOLMIXCtrl& operator=(const CTOLMIXCtrl&) = delete;

  // The data model, in order.
  char m_szInterface[256];
  char m_szGMDllName[256];
  char m_szPassword[256];
  int m_bGMMode = 0;
  std::string m_strSignProData;
  std::string m_strSignedData;
  std::string m_strEncryptedData;
  std::string m_strDecryptedData;
  std::string m_strDigestData;
  std::string m_strAllCSP;
  std::string m_strCurrentCert;
  CertContextPtr m_pCertContext{nullptr, nullptr};
  char m_szLastError[512];

 private:
  friend class CTOLMIXCtrlTestPeer;

  std::atomic<platform::ULONG> m_refs{1};
  bool m_bModified = false;
  control::XObjSafe m_xObjSafe{this};
};

namespace control {

// Creates a control and hands out its interface IID in *OUT: S_OK, or
// E_NOINTERFACE / E_POINTER with *OUT null.  The class factory and the
// host create controls through this.
platform::HRESULT CreateControl(const platform::IID& iid, void** out);

// Number of controls alive in the process (for DllCanUnloadNow).
long LiveControlCount();

}  // namespace control
}  // namespace tolmix
