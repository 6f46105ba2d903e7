// Message methods of the control: Sign, Verify, Encrypt, Decrypt, Digest.
//
// Each runs one operation of a fresh engine that lives for the call: it
// hands the engine the process-wide selector (and, for the methods that use
// a private key, the password) from one snapshot of the session, runs the
// operation and then either stores the result in its property (true) or
// copies the engine's error text into m_szLastError (false; Digest records
// nothing).  A failure leaves every result property as it was.
//
// Output sizes: signed and enveloped PEM text is taken whole from the
// engine's string forms, and so is decrypted text.  A fixed capacity
// cannot hold every result -- content length + 10240 bytes is shorter than
// the PEM of an envelope once the content passes about 26 KB, and 2n +
// 10240 bytes is short for a small text signed with a certificate of a few
// kilobytes -- and a message cannot be made again identically (new content
// key, new signing time; on "CSP" a second chooser), so a result never has
// to be cut or redone.
#include <climits>
#include <cstring>
#include <string>

#include "control/Session.h"
#include "control/TOLMIXCtrl.h"
#include "engine/CMSEngine.h"

namespace tolmix {
namespace {

// Byte length of the argument TEXT as the engine takes it, or -1 when it
// does not fit the engine's int lengths.
int TextLength(const char* text) {
  size_t n = strlen(text);
  return n > static_cast<size_t>(INT_MAX) ? -1 : static_cast<int>(n);
}

// The engine's certificate text (at most 8191 bytes).
std::string CertText(const CMSEngine& engine) {
  char cert[CMSEngine::kCertTextSize];
  engine.GetCertText(cert);
  return cert;
}

// Copies the engine's error text (empty when the failure had no message)
// into CTRL's m_szLastError; returns false for the method to pass on.
bool RecordEngineError(CTOLMIXCtrl& ctrl, const CMSEngine& engine) {
  char error[CMSEngine::kErrorTextSize];
  engine.GetErrorText(error);
  ctrl.RecordError(error);
  return false;
}

}  // namespace

bool CTOLMIXCtrl::Sign(const char* Content) {
  CMSEngine engine;
  control::SessionSnapshot session = control::SnapshotSession();
  engine.SetInterface(session.szInterface);
  engine.SetPassword(session.szPassword);
  int n = TextLength(Content);
  std::string pem;
  if (engine.SignData(Content, n, 1, &pem) != 0) return RecordEngineError(*this, engine);
  m_strSignedData = pem.c_str();  // PEM holds no NUL; taken as text all the same
  m_strCurrentCert = CertText(engine);
  return true;
}

bool CTOLMIXCtrl::Verify(const char* /*Content*/, const char* SignedData) {
  // The content argument is not used: the signature is verified as
  // attached signed data and the content taken from inside it.
  CMSEngine engine;
  char selector[control::kSessionFieldSize];
  control::ReadSessionInterface(selector);
  engine.SetInterface(selector);
  if (engine.VerifySignedData(0, 0, SignedData, TextLength(SignedData)) != 0) {
    return RecordEngineError(*this, engine);
  }
  // The extracted content is a C string: it ends at its first NUL byte.
  const char* content = engine.GetVerifiedContent();
  m_strSignProData = content ? content : "";
  return true;
}

bool CTOLMIXCtrl::Encrypt(const char* Content, const char* CertPem) {
  CMSEngine engine;
  char selector[control::kSessionFieldSize];
  control::ReadSessionInterface(selector);
  engine.SetInterface(selector);
  std::string pem;
  if (engine.EnvelopeEncrypt(Content, TextLength(Content), CertPem, &pem) != 0) {
    return RecordEngineError(*this, engine);
  }
  m_strEncryptedData = pem.c_str();
  return true;
}

bool CTOLMIXCtrl::Decrypt(const char* EncryptedData) {
  CMSEngine engine;
  control::SessionSnapshot session = control::SnapshotSession();
  engine.SetInterface(session.szInterface);
  engine.SetPassword(session.szPassword);
  std::string text;  // ends at the plaintext's first NUL byte
  if (engine.EnvelopeDecrypt(EncryptedData, TextLength(EncryptedData), &text) != 0) {
    return RecordEngineError(*this, engine);
  }
  m_strDecryptedData = std::move(text);
  m_strCurrentCert = CertText(engine);
  return true;
}

bool CTOLMIXCtrl::Digest(const char* srcData, int16_t algo) {
  // No session: a digest needs no key.  A failure records nothing.
  CMSEngine engine;
  char out[1024] = {};
  unsigned len = 0;
  static_assert(sizeof out >= CMSEngine::kDigestTextSize);
  if (engine.ComputeDigest(srcData, TextLength(srcData), algo, out, &len) != 0) return false;
  m_strDigestData.assign(out, strnlen(out, sizeof out));
  return true;
}

}  // namespace tolmix
