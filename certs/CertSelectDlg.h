// CCertSelectDlg: the modal certificate chooser over the soft store "MY"
// (platform/Store.h), shown through the chooser backend of the process
// (platform/Chooser.h).  The caller builds one object for one choice, sets
// the key-usage filter, runs DoModal and, after IDOK, reads the chosen
// certificate and its key location.  The results stay readable until the
// object is destroyed.
//
// Limits: at most kMaxRows rows and kSlotSize bytes of DER per row.  A
// certificate whose DER is larger than a slot is left out (the rows after
// it are still listed); listing stops at the 100th row, so later
// certificates of the store are not offered.  Certificates that do not
// decode are left out as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Chooser.h"

namespace tolmix {

namespace platform {
class Certificate;
}

class CCertSelectDlg : public platform::ChooserEvents {
 public:
  enum { IDD = 102 };
  static constexpr int IDOK = 1;
  static constexpr int IDCANCEL = 2;
  static constexpr int kMaxRows = 100;
  static constexpr size_t kSlotSize = 2048;
  static constexpr size_t kSelectedSize = 4096;
  static constexpr size_t kSignatureAlgorithmSize = 128;
  static constexpr size_t kSubjectNameSize = 512;

  // PARENT is accepted for the callers' sake and not used: the chooser has
  // no owner window.  The filter starts at 1 (signing); nothing is selected.
  explicit CCertSelectDlg(void* parent = nullptr);
  ~CCertSelectDlg() override;
  CCertSelectDlg(const CCertSelectDlg&) = delete;
  CCertSelectDlg& operator=(const CCertSelectDlg&) = delete;

  // 1: certificates fit for signing (digitalSignature), 0: fit for data
  // encryption (dataEncipherment), anything else: every certificate.  A
  // certificate without a key-usage extension is always listed; one whose
  // extension does not decode is not listed under 0 and 1.
  void SetKeyUsageFilter(int filter) { m_nKeyUsageFilter = filter; }

  // Shows the chooser through BACKEND instead of the process's backend
  // (MakeChooserBackend); for tests and embedders.
  void SetChooserBackend(std::unique_ptr<platform::ChooserBackend> backend);

  // Reads "MY" afresh, shows the chooser and returns IDOK when the user
  // confirmed a row, IDCANCEL otherwise.
  int DoModal();

  // Length of the selected certificate (0 before a confirmed choice).  Copies
  // the DER into OUT when OUT is given and OUT_SIZE holds it; a smaller
  // buffer gets nothing.
  uint32_t GetSelectedCert(unsigned char* out, size_t out_size) const;

  // Decodes the selected certificate, writes its subject's simple display
  // name (cut to 511 bytes on a character boundary) into OUT (512 bytes) and
  // records its signature algorithm OID (see GetSignatureAlgorithm).  False,
  // writing nothing, when the DER does not decode.
  bool GetSubjectName(char (&out)[kSubjectNameSize]);

  // The OID text recorded by GetSubjectName ("" before it, or when the OID
  // does not fit the 128-byte field: a cut OID would name another one).
  void GetSignatureAlgorithm(char* out, size_t out_size) const;

  // Provider and key container of the selected row ("" when the row's
  // certificate has no key-provider information or nothing is selected);
  // cut to OUT_SIZE - 1 bytes.
  void GetProviderName(char* out, size_t out_size) const;
  void GetContainerName(char* out, size_t out_size) const;

 private:
  struct Slot {
    unsigned char m_abDer[kSlotSize];
    uint32_t m_nLen;
  };

  bool PassesFilter(const platform::Certificate& cert) const;
  // Fills the rows from the store; false when the store cannot be opened.
  bool LoadRows(std::vector<std::vector<std::string>>* rows);

  // platform::ChooserEvents
  void OnView(int row) override;
  bool OnOk(int row) override;

  std::unique_ptr<Slot[]> m_aSlots;  // kMaxRows slots, on the heap: 200 KiB
  int m_nRows = 0;
  std::vector<std::string> m_astrContainerName;
  std::vector<std::string> m_astrProviderName;
  unsigned char m_abSelectedCert[kSelectedSize];
  uint32_t m_nSelectedCertLen = 0;
  int m_nKeyUsageFilter = 1;
  int m_nSelectedRow = -1;
  char m_szSignatureAlgorithm[kSignatureAlgorithmSize];

  std::unique_ptr<platform::ChooserBackend> m_pBackend;  // injected, else per DoModal
  platform::Chooser* m_pChooser = nullptr;               // while DoModal runs
};

}  // namespace tolmix
