// Envelope, file and raw-signature methods of the control: GetCertEx,
// SignEnvelope, VerifySignEnvelope, EncryptFile, DecryptFile, P1Sign,
// P1Verify.
//
// Each builds one CMSEngine on its stack, hands it the session's selector
// (GetCertEx: the control's own m_szInterface) and, where a private key is
// used, the session's password, runs one engine operation and destroys the
// engine before it returns.  Selector and password come from one snapshot
// of the session, so a SetPasswd on another thread can never pair the
// selector of one session with the PIN of another.
//
// Success stores the output in the method's result property and, where the
// method says so, the certificate of the key used in m_strCurrentCert.  A
// failed engine operation copies the engine's error text into
// m_szLastError and returns false or ""; result properties and the current
// certificate stay as they were.
//
// Signature outputs (SignEnvelope, P1Sign) are taken whole from the engine
// (its std::string forms): a PKCS#7 message or raw signature block is
// never cut to a buffer sized from the input, and no cut text is ever
// reported as a success.
#include <cstdint>
#include <cstring>
#include <string>

#include "control/Session.h"
#include "control/TOLMIXCtrl.h"
#include "engine/CMSEngine.h"

namespace tolmix {
namespace {

// The certificate text of ENGINE (PEM of the key used or read), as the
// control keeps it.
std::string EngineCertText(const CMSEngine& engine) {
  char cert[CMSEngine::kCertTextSize] = {};
  engine.GetCertText(cert);
  return std::string(cert, strnlen(cert, sizeof cert));
}

int TextLength(const char* text) { return static_cast<int>(strnlen(text, INT32_MAX)); }

// Records the error text of ENGINE (cut to 511 bytes) as CTL's last error.
void RecordEngineError(CTOLMIXCtrl& ctl, const CMSEngine& engine) {
  char error[CMSEngine::kErrorTextSize] = {};
  engine.GetErrorText(error);
  ctl.RecordError(error);
}

}  // namespace

std::string CTOLMIXCtrl::SignEnvelope(const char* szData) {
  const control::SessionSnapshot session = control::SnapshotSession();
  if (session.szInterface[0] == '\0') return std::string();  // no engine, no error text

  CMSEngine engine;
  engine.SetInterface(session.szInterface);
  engine.SetPassword(session.szPassword);
  std::string pem;
  if (engine.SignData(szData, TextLength(szData), 1, &pem) != 0) {
    RecordEngineError(*this, engine);
    return std::string();
  }
  // The current certificate stays as it was (unlike Sign).
  m_strSignedData = pem;
  return pem;
}

std::string CTOLMIXCtrl::VerifySignEnvelope(const char* szSigned) {
  char selector[control::kSessionFieldSize];
  control::ReadSessionInterface(selector);
  if (selector[0] == '\0') return std::string();  // no engine, no error text

  CMSEngine engine;
  engine.SetInterface(selector);
  if (engine.VerifySignedData(0, 0, szSigned, TextLength(szSigned)) != 0) {
    RecordEngineError(*this, engine);
    return std::string();
  }
  const char* content = engine.GetVerifiedContent();
  return content != nullptr ? std::string(content) : std::string();
}

bool CTOLMIXCtrl::EncryptFile(const char* strFromFile, const char* strEncFile,
                              const char* strCertPem) {
  char selector[control::kSessionFieldSize];
  control::ReadSessionInterface(selector);  // an empty one is the engine's to judge

  CMSEngine engine;
  engine.SetInterface(selector);
  if (engine.EnvelopeEncryptFile(strFromFile, strEncFile, strCertPem) != 0) {
    RecordEngineError(*this, engine);
    return false;
  }
  return true;
}

bool CTOLMIXCtrl::DecryptFile(const char* strEncFile, const char* strToFile) {
  const control::SessionSnapshot session = control::SnapshotSession();

  CMSEngine engine;
  engine.SetInterface(session.szInterface);
  engine.SetPassword(session.szPassword);
  // The engine writes the target beside it and renames it into place only
  // on success: a failure leaves an existing strToFile as it was.
  if (engine.EnvelopeDecryptFile(strEncFile, strToFile) != 0) {
    RecordEngineError(*this, engine);
    return false;
  }
  m_strCurrentCert = EngineCertText(engine);  // the decrypting key's certificate
  return true;
}

bool CTOLMIXCtrl::P1Sign(const char* Content) {
  const control::SessionSnapshot session = control::SnapshotSession();

  CMSEngine engine;
  engine.SetInterface(session.szInterface);
  engine.SetPassword(session.szPassword);
  std::string block;
  if (engine.RawSign(Content, TextLength(Content), 1, &block) != 0) {
    RecordEngineError(*this, engine);
    return false;
  }
  std::string cert = EngineCertText(engine);  // the signer's certificate
  m_strSignedData = std::move(block);
  m_strCurrentCert = std::move(cert);
  return true;
}

bool CTOLMIXCtrl::P1Verify(const char* Content, const char* SignedData) {
  char selector[control::kSessionFieldSize];
  control::ReadSessionInterface(selector);

  CMSEngine engine;
  engine.SetInterface(selector);
  if (engine.RawVerify(Content, TextLength(Content), SignedData, TextLength(SignedData)) != 0) {
    RecordEngineError(*this, engine);
    return false;
  }
  return true;
}

std::string CTOLMIXCtrl::GetCertEx(int16_t CertType) {
  // Only a "P11" control reads from the device; any other answers as
  // GetCert does and ignores CertType.
  if (strcmp(m_szInterface, "P11") != 0) return m_strCurrentCert;

  const control::SessionSnapshot session = control::SnapshotSession();

  CMSEngine engine;
  engine.SetInterface(m_szInterface);
  engine.SetPassword(session.szPassword);
  if (engine.ReadDeviceCert(static_cast<int>(CertType)) != 0) {
    RecordEngineError(*this, engine);
    return std::string();
  }
  m_strCurrentCert = EngineCertText(engine);
  return m_strCurrentCert;
}

}  // namespace tolmix
