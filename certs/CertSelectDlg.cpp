#include "certs/CertSelectDlg.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/Certificate.h"
#include "platform/LocalTime.h"
#include "platform/NameFormatter.h"
#include "platform/ShellOpen.h"
#include "platform/Store.h"
#include "platform/TempFolder.h"
#include "util/FixedText.h"

namespace tolmix {
namespace {

// Dialog template 102 (dialog units) and its texts, GBK.
constexpr char kTitle[] = "\xC7\xEB\xD1\xA1\xD4\xF1\xD6\xA4\xCA\xE9";  // 请选择证书
constexpr char kSelectPrompt[] = "\xC7\xEB\xD1\xA1\xD4\xF1\xD6\xA4\xCA\xE9";  // 请选择证书
constexpr char kStoreOpenFailed[] =
    "\xB4\xF2\xBF\xAA\x4D\x59\xC8\xDD\xC6\xF7\xCA\xA7\xB0\xDC\x21";  // 打开MY容器失败!
constexpr char kTempFileFailed[] =
    "\xB4\xB4\xBD\xA8\xC1\xD9\xCA\xB1\xCE\xC4\xBC\xFE\xCA\xA7\xB0\xDC\x21";  // 创建临时文件失败!
constexpr char kViewLabel[] = "\xB2\xE9\xBF\xB4\xD6\xA4\xCA\xE9";  // 查看证书
constexpr char kOkLabel[] = "\xC8\xB7\xB6\xA8";                    // 确定
constexpr char kCancelLabel[] = "\xC8\xA1\xCF\xFB";                // 取消

struct ColumnDef {
  const char* title;
  int width;  // pixels
};
constexpr ColumnDef kColumns[] = {
    {"\xD6\xA4\xCA\xE9\xB3\xD6\xD3\xD0\xD5\xDF", 180},          // 证书持有者
    {"\xB0\xE4\xB7\xA2\xD5\xDF", 60},                          // 颁发者
    {"\xD6\xA4\xCA\xE9\xBD\xD8\xD6\xB9\xC8\xD5\xC6\xDA", 100},  // 证书截止日期
    {"\xC3\xDC\xD4\xBF\xCB\xE3\xB7\xA8", 60},                  // 密钥算法
};
constexpr char kKeyAlgorithm[] = "RSA";

constexpr size_t kTempPathSize = 1024;
constexpr char kTempViewName[] = "tempview.cer";

// Key-usage bits of the first byte (RFC 5280, 4.2.1.3).
constexpr unsigned char kDigitalSignature = 0x80;
constexpr unsigned char kDataEncipherment = 0x10;

platform::ChooserDialog MakeDialog() {
  platform::ChooserDialog d;
  d.title = kTitle;
  d.width = 320;
  d.height = 183;
  d.list = {4, 2, 312, 150};
  d.view_label = kViewLabel;
  d.view_button = {4, 157, 50, 21};
  d.ok_label = kOkLabel;
  d.ok_button = {211, 157, 50, 21};
  d.cancel_label = kCancelLabel;
  d.cancel_button = {266, 157, 50, 21};
  for (const ColumnDef& c : kColumns) d.columns.push_back({c.title, c.width});
  return d;
}

// The date column: T in local time by today's UTC offset, the rule of
// GetNotAfter, so both show the same day.
std::string LocalDate(std::time_t t) {
  std::tm tm = platform::LocalTimeAtTodaysOffset(t, std::time(nullptr));
  char text[32];
  FormatBounded(text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return text;
}

}  // namespace

CCertSelectDlg::CCertSelectDlg(void* /*parent*/) : m_aSlots(new Slot[kMaxRows]) {
  memset(m_abSelectedCert, 0, sizeof m_abSelectedCert);
  memset(m_szSignatureAlgorithm, 0, sizeof m_szSignatureAlgorithm);
}

CCertSelectDlg::~CCertSelectDlg() = default;

void CCertSelectDlg::SetChooserBackend(std::unique_ptr<platform::ChooserBackend> backend) {
  m_pBackend = std::move(backend);
}

bool CCertSelectDlg::PassesFilter(const platform::Certificate& cert) const {
  if (m_nKeyUsageFilter != 0 && m_nKeyUsageFilter != 1) return true;
  if (!cert.HasKeyUsageExtension()) return true;
  unsigned char usage[2] = {0, 0};
  if (!cert.GetIntendedKeyUsage(usage)) return false;
  unsigned char bit = m_nKeyUsageFilter == 1 ? kDigitalSignature : kDataEncipherment;
  return (usage[0] & bit) != 0;
}

bool CCertSelectDlg::LoadRows(std::vector<std::vector<std::string>>* rows) {
  std::vector<platform::StoreCertificate> store;
  std::string error;
  if (!platform::ReadMyStore(&store, &error)) return false;
  for (const platform::StoreCertificate& entry : store) {
    if (m_nRows == kMaxRows) break;
    if (entry.der.size() > kSlotSize) continue;
    auto cert = platform::Certificate::FromDer(entry.der.data(), entry.der.size());
    if (!cert || !PassesFilter(*cert)) continue;
    // Names, slot and row are filled together, so entry i always belongs to
    // row i.
    m_astrProviderName.push_back(entry.provider);
    m_astrContainerName.push_back(entry.container);
    Slot& slot = m_aSlots[static_cast<size_t>(m_nRows)];
    memcpy(slot.m_abDer, cert->Der().data(), cert->Der().size());
    slot.m_nLen = static_cast<uint32_t>(cert->Der().size());
    rows->push_back({std::string(platform::CutGbk(cert->SimpleDisplayName(), 511)),
                     std::string(platform::CutGbk(cert->IssuerSimpleDisplayName(), 511)),
                     LocalDate(cert->NotAfter()), kKeyAlgorithm});
    ++m_nRows;
  }
  return true;
}

int CCertSelectDlg::DoModal() {
  m_nRows = 0;
  m_astrProviderName.clear();
  m_astrContainerName.clear();
  m_nSelectedRow = -1;

  std::unique_ptr<platform::ChooserBackend> fresh;
  platform::ChooserBackend* backend = m_pBackend.get();
  if (!backend) {
    fresh = platform::MakeChooserBackend();
    backend = fresh.get();
  }
  platform::Chooser chooser(backend);
  m_pChooser = &chooser;

  platform::ChooserDialog dialog = MakeDialog();
  if (!LoadRows(&dialog.rows)) chooser.ShowMessage(kStoreOpenFailed);
  platform::ChooserResult result = chooser.Run(dialog, this);
  m_pChooser = nullptr;
  return result == platform::ChooserResult::kOk ? IDOK : IDCANCEL;
}

void CCertSelectDlg::OnView(int row) {
  if (row < 0 || row >= m_nRows) return;  // nothing selected: nothing to view
  // tempview.cer is made afresh in the user's private temporary folder,
  // never in a place another user can plant a link or a file of their own.
  std::string path;
  const Slot& slot = m_aSlots[static_cast<size_t>(row)];
  bool written = false;
  int fd = platform::CreatePrivateTempFile(kTempViewName, &path);
  if (fd >= 0) {
    // A path that does not fit the 1024 bytes of the original is refused
    // rather than handed on.
    written = path.size() < kTempPathSize;
    for (size_t done = 0; written && done < slot.m_nLen;) {
      ssize_t n = write(fd, slot.m_abDer + done, slot.m_nLen - done);
      if (n < 0 && errno == EINTR) continue;
      written = n > 0;
      if (written) done += static_cast<size_t>(n);
    }
    written = close(fd) == 0 && written;
  }
  if (!written) {
    if (m_pChooser) m_pChooser->ShowMessage(kTempFileFailed);
    return;
  }
  platform::ShellOpen(path);
}

bool CCertSelectDlg::OnOk(int row) {
  if (row < 0 || row >= m_nRows) {
    if (m_pChooser) m_pChooser->ShowMessage(kSelectPrompt);
    return false;
  }
  m_nSelectedRow = row;
  memset(m_abSelectedCert, 0, sizeof m_abSelectedCert);
  const Slot& slot = m_aSlots[static_cast<size_t>(row)];
  static_assert(kSlotSize <= kSelectedSize, "a slot always fits the selected certificate");
  memcpy(m_abSelectedCert, slot.m_abDer, slot.m_nLen);
  m_nSelectedCertLen = slot.m_nLen;
  return true;
}

uint32_t CCertSelectDlg::GetSelectedCert(unsigned char* out, size_t out_size) const {
  if (out && out_size >= m_nSelectedCertLen) memcpy(out, m_abSelectedCert, m_nSelectedCertLen);
  return m_nSelectedCertLen;
}

bool CCertSelectDlg::GetSubjectName(char (&out)[kSubjectNameSize]) {
  auto cert = platform::Certificate::FromDer(m_abSelectedCert, m_nSelectedCertLen);
  if (!cert) return false;
  CopyBounded(out, platform::CutGbk(cert->SimpleDisplayName(), kSubjectNameSize - 1));
  memset(m_szSignatureAlgorithm, 0, sizeof m_szSignatureAlgorithm);
  std::string oid = cert->SignatureAlgorithmOid();
  if (oid.size() < sizeof m_szSignatureAlgorithm) CopyBounded(m_szSignatureAlgorithm, oid);
  return true;
}

void CCertSelectDlg::GetSignatureAlgorithm(char* out, size_t out_size) const {
  CopyBounded(out, out_size, m_szSignatureAlgorithm);
}

void CCertSelectDlg::GetProviderName(char* out, size_t out_size) const {
  bool valid = m_nSelectedRow >= 0 && m_nSelectedRow < static_cast<int>(m_astrProviderName.size());
  CopyBounded(out, out_size,
              valid ? std::string_view(m_astrProviderName[static_cast<size_t>(m_nSelectedRow)])
                    : std::string_view());
}

void CCertSelectDlg::GetContainerName(char* out, size_t out_size) const {
  bool valid =
      m_nSelectedRow >= 0 && m_nSelectedRow < static_cast<int>(m_astrContainerName.size());
  CopyBounded(out, out_size,
              valid ? std::string_view(m_astrContainerName[static_cast<size_t>(m_nSelectedRow)])
                    : std::string_view());
}

}  // namespace tolmix
