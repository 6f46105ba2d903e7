// PFX (PKCS#12) files on the control: CertParsePfx and GetCertInfoPfx.  No
// private key is read.
//
// A PFX that opens but holds no certificate fails the import as a wrong
// password does: CertParsePfx returns false and the parsed certificate
// stays as it was, so GetCertInfoPfx reports "pfx证书解析失败.".
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "control/CertMethodsInternal.h"
#include "control/CertText.h"
#include "control/TOLMIXCtrl.h"
#include "platform/FileName.h"
#include "platform/Pfx.h"
#include "platform/SafeFile.h"

namespace tolmix {
namespace control {
namespace {

// "pfx证书解析失败."
constexpr char kMsgPfxFailed[] = "\x70\x66\x78\xd6\xa4\xca\xe9\xbd\xe2\xce\xf6\xca\xa7\xb0\xdc\x2e";

// Largest file image read; a PFX holds a few certificates and keys, and a
// larger file is treated like one that cannot be opened.
constexpr long kMaxFileImage = 64L << 20;

// ReadWholeFile: the size of the file PATH (GBK, as the member got it) in
// *LENGTH, and with BUFFER its bytes.  *LENGTH is 0 when the path has no
// file-system (UTF-8) name, or the file cannot be opened, is no regular
// file or is larger than kMaxFileImage.  With BUFFER, *LENGTH on entry is
// the buffer's size, and at most that many bytes are read (a file that grew
// since the size was taken cannot overrun it); *LENGTH then tells how many
// were.
void ReadWholeFile(const char* path, unsigned char* buffer, long* length) {
  long capacity = buffer ? *length : 0;
  *length = 0;
  std::string name;
  if (!platform::FileSystemName(path, &name)) return;
  // A FIFO or device is refused before a byte is read: it would wait for a
  // writer or never end.
  int fd = platform::OpenSourceFile(name.c_str());
  if (fd < 0) return;
  std::FILE* f = fdopen(fd, "rb");
  if (f == nullptr) {
    close(fd);
    return;
  }
  long size = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  if (size > 0 && size <= kMaxFileImage && std::fseek(f, 0, SEEK_SET) == 0) {
    if (buffer == nullptr) {
      *length = size;
    } else {
      size_t want = static_cast<size_t>(size < capacity ? size : capacity);
      *length = static_cast<long>(std::fread(buffer, 1, want, f));
    }
  }
  std::fclose(f);
}

}  // namespace
}  // namespace control

bool CTOLMIXCtrl::CertParsePfx(const char* strPathName, const char* strPassWord,
                               const char* /*strToWhere*/) {
  long length = 0;
  control::ReadWholeFile(strPathName ? strPathName : "", nullptr, &length);
  std::vector<unsigned char> image(static_cast<size_t>(length));
  if (length != 0) {
    control::ReadWholeFile(strPathName, image.data(), &length);
    image.resize(static_cast<size_t>(length));
  }
  std::optional<platform::Certificate> cert = platform::ImportPfxFirstCertificate(
      image.data(), image.size(), strPassWord ? strPassWord : "");
  if (!cert) return false;
  m_pCertContext = control::OwnCertificate(std::move(cert));
  return true;
}

std::string CTOLMIXCtrl::GetCertInfoPfx(const char* szPathName, int32_t lItem,
                                        const char* szPassWord) {
  if (szPathName != nullptr && *szPathName != '\0') {
    if (!CertParsePfx(szPathName, szPassWord, "")) {
      RecordError(control::kMsgPfxFailed);
      return std::string();
    }
  } else if (!m_pCertContext) {
    RecordError(control::kMsgNoCertGiven);
    return std::string();
  }
  return control::AnswerCertItem(*this, m_pCertContext, m_strCurrentCert,
                                 control::ItemSource::kPfx, lItem, nullptr, nullptr);
}

}  // namespace tolmix
