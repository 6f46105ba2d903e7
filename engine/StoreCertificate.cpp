// CMSEngine: the certificate of the "CSP" session, chosen by the user from
// the store "MY".
#include <cstring>
#include <string_view>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "certs/CertSelectDlg.h"
#include "engine/CMSEngine.h"
#include "util/FixedText.h"

namespace tolmix {
namespace {

// "证书编码转换失败1[p7_ready]"
constexpr char kMsgDecode[] =
    "\xD6\xA4\xCA\xE9\xB1\xE0\xC2\xEB\xD7\xAA\xBB\xBB\xCA\xA7\xB0\xDC" "1[p7_ready]";

}  // namespace

int CMSEngine::ChooseStoreCertificate() noexcept try {
  if (strcmp(m_szInterfaceName, "P11") == 0) return 0;

  CCertSelectDlg chooser;
  chooser.SetKeyUsageFilter(m_nKeyKind - 1);  // 1 signing, 0 encryption
  if (chooser.DoModal() != CCertSelectDlg::IDOK) return -1;

  // The chooser keeps at most kSelectedSize bytes; a smaller certificate
  // comes whole, none comes cut.
  unsigned char der[CCertSelectDlg::kSelectedSize] = {};
  const uint32_t len = chooser.GetSelectedCert(der, sizeof der);
  const unsigned char* p = der;
  ossl::Ptr<X509> cert(len > 0 && len <= sizeof der ? d2i_X509(nullptr, &p, len) : nullptr);

  // The PEM goes into m_szCertText whole or not at all: a cut PEM would be
  // a broken certificate.
  ossl::Ptr<BIO> bio(BIO_new(BIO_s_mem()));
  char* pem = nullptr;
  long pemLen = -1;
  if (cert && bio && PEM_write_bio_X509(bio.get(), cert.get())) {
    pemLen = BIO_get_mem_data(bio.get(), &pem);
  }
  if (pemLen <= 0 || pem == nullptr || static_cast<unsigned long>(pemLen) >= kCertTextSize) {
    ERR_clear_error();
    SetError(kMsgDecode);
    return -1;
  }
  CopyBounded(m_szCertText, std::string_view(pem, static_cast<size_t>(pemLen)));
  return 0;
} catch (...) {
  return -1;  // out of memory
}

}  // namespace tolmix
