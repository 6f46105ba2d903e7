#include "certs/CertSelectDlg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include "platform/Store.h"
#include "tests/chooser/TestCerts.h"

namespace tolmix {
namespace {

using platform::ChooserBackend;
using platform::ChooserDialog;
using platform::ChooserEvents;
using platform::ChooserResult;
using testing::CertSpec;
using testing::MakeDer;

// Drives the dialog with the unattended backend and keeps what it was shown.
struct Record {
  ChooserDialog dialog;
  std::vector<std::string> messages;
  bool ran = false;
};

class RecordingBackend : public ChooserBackend {
 public:
  RecordingBackend(std::string answer, Record* record)
      : inner_(platform::MakeUnattendedBackend(std::move(answer), nullptr)), record_(record) {}
  ChooserResult Run(const ChooserDialog& d, ChooserEvents* e) override {
    record_->dialog = d;
    record_->ran = true;
    return inner_->Run(d, e);
  }
  void ShowMessage(const std::string& text) override { record_->messages.push_back(text); }
  const char* Name() const override { return "recording"; }

 private:
  std::unique_ptr<ChooserBackend> inner_;
  Record* record_;
};

std::vector<std::string> Column(const Record& r, size_t c) {
  std::vector<std::string> out;
  for (const auto& row : r.dialog.rows) out.push_back(row.at(c));
  return out;
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

class CertSelectDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TOLMIX_STORE_DIR", (dir_.path() + "/store").c_str(), 1);
    setenv("TMPDIR", (dir_.path() + "/tmp").c_str(), 1);
    unsetenv("XDG_RUNTIME_DIR");  // the private folder then sits under TMPDIR
    std::filesystem::create_directory(dir_.path() + "/tmp");
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  void TearDown() override {
    unsetenv("TOLMIX_STORE_DIR");
    unsetenv("TMPDIR");
    unsetenv("TOLMIX_OPEN_COMMAND");
    unsetenv("TZ");
    tzset();
  }
  std::vector<unsigned char> Add(const CertSpec& shape, const char* provider = "",
                                 const char* container = "") {
    auto der = MakeDer(shape);
    EXPECT_TRUE(platform::ImportToMy(der, provider, container, nullptr));
    return der;
  }
  int Run(CCertSelectDlg* dlg, const char* answer, Record* record) {
    dlg->SetChooserBackend(std::make_unique<RecordingBackend>(answer, record));
    return dlg->DoModal();
  }

  testing::TempDir dir_;
};

TEST_F(CertSelectDlgTest, ShowsTheTemplateTitleColumnsAndButtons) {
  Add(CertSpec().Cn("Alice").Issuer("Root CA"));
  CCertSelectDlg dlg;
  Record r;
  EXPECT_EQ(Run(&dlg, "cancel", &r), CCertSelectDlg::IDCANCEL);
  EXPECT_EQ(r.dialog.title, "请选择证书");
  EXPECT_EQ(r.dialog.width, 320);
  EXPECT_EQ(r.dialog.height, 183);
  ASSERT_EQ(r.dialog.columns.size(), 4u);
  const char* titles[] = {"证书持有者", "颁发者", "证书截止日期", "密钥算法"};
  const int widths[] = {180, 60, 100, 60};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(r.dialog.columns[i].title, titles[i]);
    EXPECT_EQ(r.dialog.columns[i].width, widths[i]);
  }
  EXPECT_EQ(r.dialog.view_label, "查看证书");
  EXPECT_EQ(r.dialog.ok_label, "确定");
  EXPECT_EQ(r.dialog.cancel_label, "取消");
  ASSERT_EQ(r.dialog.rows.size(), 1u);
  EXPECT_EQ(r.dialog.rows[0],
            (std::vector<std::string>{"Alice", "Root CA", "2031-05-31", "RSA"}));
  EXPECT_EQ(dlg.GetSelectedCert(nullptr, 0), 0u);
}

TEST_F(CertSelectDlgTest, FiltersByKeyUsage) {
  Add(CertSpec().Cn("none").Serial(1));
  Add(CertSpec().Cn("sign").Usage("digitalSignature").Serial(2));
  Add(CertSpec().Cn("keyenc").Usage("keyEncipherment").Serial(3));
  Add(CertSpec().Cn("dataenc").Usage("dataEncipherment").Serial(4));
  Add(CertSpec().Cn("broken").BrokenUsage().Serial(5));
  Add(CertSpec().Cn("both").Usage("digitalSignature,dataEncipherment").Serial(6));
  struct Case {
    int filter;
    std::vector<std::string> rows;
  } cases[] = {
      {1, {"none", "sign", "both"}},
      {0, {"none", "dataenc", "both"}},
      {2, {"none", "sign", "keyenc", "dataenc", "broken", "both"}},
      {-1, {"none", "sign", "keyenc", "dataenc", "broken", "both"}},
  };
  for (const Case& c : cases) {
    CCertSelectDlg dlg;
    dlg.SetKeyUsageFilter(c.filter);
    Record r;
    Run(&dlg, "cancel", &r);
    EXPECT_EQ(Column(r, 0), c.rows) << "filter " << c.filter;
  }
  // The default filter is 1.
  CCertSelectDlg dlg;
  Record r;
  Run(&dlg, "cancel", &r);
  EXPECT_EQ(Column(r, 0), cases[0].rows);
}

TEST_F(CertSelectDlgTest, ShowsTheLocalDateOfTheEndOfValidity) {
  Add(CertSpec().NotAfter("20310531200000Z"));
  setenv("TZ", "CST-8", 1);  // eight hours east of UTC
  tzset();
  CCertSelectDlg dlg;
  Record r;
  Run(&dlg, "cancel", &r);
  EXPECT_EQ(Column(r, 2), std::vector<std::string>{"2031-06-01"});
  setenv("TZ", "EST5", 1);
  tzset();
  Run(&dlg, "cancel", &r);
  EXPECT_EQ(Column(r, 2), std::vector<std::string>{"2031-05-31"});
}

TEST_F(CertSelectDlgTest, DatesUseTodaysUtcOffsetAsGetNotAfterDoes) {
  // Central European time, with summer time.  Both certificates end at
  // 22:30 UTC: one in summer, one in winter.  Read by today's offset (as
  // GetNotAfter reads them) both fall on the 16th while summer time is in
  // force and on the 15th otherwise; read by each date's own offset they
  // would fall on different days.
  Add(CertSpec().Cn("summer").Serial(1).NotAfter("20310715223000Z"));
  Add(CertSpec().Cn("winter").Serial(2).NotAfter("20310115223000Z"));
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  std::time_t now = std::time(nullptr);
  std::tm today{};
  localtime_r(&now, &today);
  const std::string day = today.tm_isdst > 0 ? "16" : "15";
  CCertSelectDlg dlg;
  Record r;
  Run(&dlg, "cancel", &r);
  EXPECT_EQ(Column(r, 0), (std::vector<std::string>{"summer", "winter"}));
  EXPECT_EQ(Column(r, 2), (std::vector<std::string>{"2031-07-" + day, "2031-01-" + day}));
}

TEST_F(CertSelectDlgTest, ListsAtMostOneHundredRowsAndSkipsLargeCertificates) {
  auto big = MakeDer(CertSpec().Cn("big").Padding(2100).Serial(1000));
  ASSERT_GT(big.size(), CCertSelectDlg::kSlotSize);
  ASSERT_TRUE(platform::ImportToMy(big, "", "", nullptr));
  auto fits = MakeDer(CertSpec().Cn("fits").Padding(1500).Serial(1001));
  ASSERT_LE(fits.size(), CCertSelectDlg::kSlotSize);
  ASSERT_TRUE(platform::ImportToMy(fits, "P", "fits-c", nullptr));
  for (int i = 0; i < 100; ++i) Add(CertSpec().Cn("c" + std::to_string(i)).Serial(i + 1));

  CCertSelectDlg dlg;
  Record r;
  ASSERT_EQ(Run(&dlg, "row:99", &r), CCertSelectDlg::IDOK);
  auto names = Column(r, 0);
  ASSERT_EQ(names.size(), 100u);
  EXPECT_EQ(names.front(), "fits");
  EXPECT_EQ(names.back(), "c98");  // c99 is the 101st listable certificate
  // A row past the list selects nothing.
  CCertSelectDlg dlg2;
  EXPECT_EQ(Run(&dlg2, "row:100", &r), CCertSelectDlg::IDCANCEL);
  EXPECT_EQ(r.messages, std::vector<std::string>{"请选择证书"});

  CCertSelectDlg first;
  ASSERT_EQ(Run(&first, "first", &r), CCertSelectDlg::IDOK);
  std::vector<unsigned char> out(CCertSelectDlg::kSelectedSize);
  ASSERT_EQ(first.GetSelectedCert(out.data(), out.size()), fits.size());
  EXPECT_TRUE(std::equal(fits.begin(), fits.end(), out.begin()));
  char container[64];
  first.GetContainerName(container, sizeof container);
  EXPECT_STREQ(container, "fits-c");
}

TEST_F(CertSelectDlgTest, OkWithoutSelectionAsksAndStaysOpen) {
  auto a = Add(CertSpec().Cn("A").Serial(1), "ProvA", "contA");
  auto b = Add(CertSpec().Cn("B").Serial(2));
  CCertSelectDlg dlg;
  Record r;
  ASSERT_EQ(Run(&dlg, "ok,ok,row:1", &r), CCertSelectDlg::IDOK);
  EXPECT_EQ(r.messages, (std::vector<std::string>{"请选择证书", "请选择证书"}));

  // Row 1 has no key-provider information: empty names, not row 0's.
  char provider[8] = "x", container[8] = "x";
  dlg.GetProviderName(provider, sizeof provider);
  dlg.GetContainerName(container, sizeof container);
  EXPECT_STREQ(provider, "");
  EXPECT_STREQ(container, "");
  std::vector<unsigned char> out(CCertSelectDlg::kSelectedSize);
  ASSERT_EQ(dlg.GetSelectedCert(out.data(), out.size()), b.size());
  out.resize(b.size());
  EXPECT_EQ(out, b);

  ASSERT_EQ(Run(&dlg, "first", &r), CCertSelectDlg::IDOK);
  dlg.GetProviderName(provider, sizeof provider);
  dlg.GetContainerName(container, 5);  // cut to the caller's buffer
  EXPECT_STREQ(provider, "ProvA");
  EXPECT_STREQ(container, "cont");
  unsigned char small[16];
  EXPECT_EQ(dlg.GetSelectedCert(small, sizeof small), a.size());  // too small: nothing copied
}

TEST_F(CertSelectDlgTest, SubjectNameAndSignatureAlgorithmOfTheChoice) {
  Add(CertSpec().Cn("\xE5\xBC\xA0\xE4\xB8\x89"));  // 张三 (UTF-8 in the certificate)
  CCertSelectDlg dlg;
  char name[CCertSelectDlg::kSubjectNameSize] = "untouched";
  EXPECT_FALSE(dlg.GetSubjectName(name));  // nothing selected: no DER to decode
  EXPECT_STREQ(name, "untouched");
  char oid[CCertSelectDlg::kSignatureAlgorithmSize];
  dlg.GetSignatureAlgorithm(oid, sizeof oid);
  EXPECT_STREQ(oid, "");

  Record r;
  ASSERT_EQ(Run(&dlg, "first", &r), CCertSelectDlg::IDOK);
  EXPECT_EQ(Column(r, 0), std::vector<std::string>{"张三"});
  ASSERT_TRUE(dlg.GetSubjectName(name));
  EXPECT_STREQ(name, "\xD5\xC5\xC8\xFD");  // GBK
  dlg.GetSignatureAlgorithm(oid, sizeof oid);
  EXPECT_STREQ(oid, "1.2.840.113549.1.1.11");
}

TEST_F(CertSelectDlgTest, StoreThatCannotBeOpenedShowsTheMessage) {
  std::ofstream(dir_.path() + "/store") << "a file where the store folder belongs";
  CCertSelectDlg dlg;
  Record r;
  EXPECT_EQ(Run(&dlg, "first", &r), CCertSelectDlg::IDCANCEL);
  ASSERT_TRUE(r.ran);
  EXPECT_TRUE(r.dialog.rows.empty());
  EXPECT_EQ(r.messages, (std::vector<std::string>{"打开MY容器失败!", "请选择证书"}));
}

TEST_F(CertSelectDlgTest, ViewWritesTheTemporaryFileAndOpensIt) {
  auto a = Add(CertSpec().Cn("A").Serial(1));
  auto b = Add(CertSpec().Cn("B").Serial(2));
  // The recorder appends its argument to a log; it runs detached.
  std::string log = dir_.path() + "/opened.log", recorder = dir_.path() + "/recorder.sh";
  std::ofstream(recorder) << "#!/bin/sh\necho \"$1\" >> '" << log << "'\n";
  std::filesystem::permissions(recorder, std::filesystem::perms::owner_all);
  setenv("TOLMIX_OPEN_COMMAND", recorder.c_str(), 1);
  std::string temp = dir_.path() + "/tmp/tolmix-" + std::to_string(geteuid()) + "/tempview.cer";

  CCertSelectDlg dlg;
  Record r;
  EXPECT_EQ(Run(&dlg, "view:5,cancel", &r), CCertSelectDlg::IDCANCEL);  // nothing selected
  EXPECT_FALSE(std::filesystem::exists(temp));

  EXPECT_EQ(Run(&dlg, "view:0,view:1,cancel", &r), CCertSelectDlg::IDCANCEL);
  EXPECT_EQ(dlg.GetSelectedCert(nullptr, 0), 0u);  // viewing selects nothing
  EXPECT_EQ(ReadAll(temp), std::string(b.begin(), b.end()));  // the second view replaced it
  std::string opened;
  for (int i = 0; i < 100 && opened != temp + "\n" + temp + "\n"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    opened = ReadAll(log);
  }
  EXPECT_EQ(opened, temp + "\n" + temp + "\n");
  EXPECT_TRUE(r.messages.empty());
}

// tempview.cer is made afresh in the user's private temporary folder.
// Whatever another local user planted -- a link where the file or the
// folder goes, a folder of their own, a file in the shared folder -- is
// never written through, and the viewer gets the private 0600 file.
TEST_F(CertSelectDlgTest, ViewNeverWritesThroughWhatOthersPlanted) {
  namespace fs = std::filesystem;
  const auto der = Add(CertSpec().Cn("A"));
  const std::string log = dir_.path() + "/opened.log", recorder = dir_.path() + "/recorder.sh";
  std::ofstream(recorder) << "#!/bin/sh\necho \"$1\" >> '" << log << "'\n";
  fs::permissions(recorder, fs::perms::owner_all);
  setenv("TOLMIX_OPEN_COMMAND", recorder.c_str(), 1);
  const std::string tmp = dir_.path() + "/tmp";
  const std::string own = tmp + "/tolmix-" + std::to_string(geteuid());
  const std::string runtime = dir_.path() + "/run";
  const std::string victim = dir_.path() + "/notes.txt", victimDir = dir_.path() + "/documents";

  struct Case {
    const char* what;
    std::function<void()> plant;
    std::string viewed;  // the file the viewer gets; "" when the view is refused
  };
  std::vector<Case> cases = {
      {"a link to the user's file where tempview.cer goes",
       [&] {
         fs::create_directory(own);
         fs::permissions(own, fs::perms::owner_all);
         fs::create_symlink(victim, own + "/tempview.cer");
       },
       own + "/tempview.cer"},
      {"tempview.cer planted in the shared folder",
       [&] { fs::create_symlink(victim, tmp + "/tempview.cer"); }, own + "/tempview.cer"},
      {"a link where the private folder goes", [&] { fs::create_directory_symlink(victimDir, own); },
       ""},
      {"the private folder open to everybody",
       [&] {
         fs::create_directory(own);
         fs::permissions(own, fs::perms::all);
       },
       own + "/tempview.cer"},
      {"XDG_RUNTIME_DIR, private",
       [&] {
         fs::create_directory(runtime);
         fs::permissions(runtime, fs::perms::owner_all);
         setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
       },
       runtime + "/tolmix/tempview.cer"},
      {"XDG_RUNTIME_DIR open to others",
       [&] {
         fs::create_directory(runtime);
         fs::permissions(runtime, fs::perms::owner_all | fs::perms::others_exec |
                                      fs::perms::others_read);
         setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
       },
       own + "/tempview.cer"},
  };
  if (geteuid() == 0) {  // another user's folder under the private folder's name
    cases.push_back({"the private folder made by another user",
                     [&] {
                       fs::create_directory(own);
                       ASSERT_EQ(chown(own.c_str(), 4321, 4321), 0);
                     },
                     ""});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const std::string& p : {own, runtime, tmp + "/tempview.cer", log, victimDir}) {
      fs::remove_all(p);
    }
    unsetenv("XDG_RUNTIME_DIR");
    std::ofstream(victim) << "the user's notes";
    fs::create_directory(victimDir);
    c.plant();

    CCertSelectDlg dlg;
    Record r;
    Run(&dlg, "view:0,cancel", &r);
    EXPECT_EQ(ReadAll(victim), "the user's notes");
    EXPECT_TRUE(fs::is_empty(victimDir));
    if (c.viewed.empty()) {
      EXPECT_EQ(r.messages, std::vector<std::string>{"创建临时文件失败!"});
      continue;
    }
    EXPECT_TRUE(r.messages.empty());
    EXPECT_EQ(ReadAll(c.viewed), std::string(der.begin(), der.end()));
    EXPECT_EQ(fs::symlink_status(c.viewed).type(), fs::file_type::regular);
    EXPECT_EQ(fs::status(c.viewed).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(fs::path(c.viewed).parent_path()).permissions(), fs::perms::owner_all);
    std::string opened;
    for (int i = 0; i < 100 && opened.empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      opened = ReadAll(log);
    }
    EXPECT_EQ(opened, c.viewed + "\n");
  }
  unsetenv("XDG_RUNTIME_DIR");
}

TEST_F(CertSelectDlgTest, ViewReportsAnUnwritableTemporaryFolder) {
  Add(CertSpec());
  setenv("TMPDIR", (dir_.path() + "/no/such/folder").c_str(), 1);
  setenv("TOLMIX_OPEN_COMMAND", "/bin/false", 1);
  CCertSelectDlg dlg;
  Record r;
  EXPECT_EQ(Run(&dlg, "view:0,cancel", &r), CCertSelectDlg::IDCANCEL);
  EXPECT_EQ(r.messages, std::vector<std::string>{"创建临时文件失败!"});
  // A folder name too long for the 1024-byte path is refused, not cut.
  setenv("TMPDIR", ("/" + std::string(1100, 'd')).c_str(), 1);
  r.messages.clear();
  Run(&dlg, "view:0,cancel", &r);
  EXPECT_EQ(r.messages, std::vector<std::string>{"创建临时文件失败!"});
}

}  // namespace
}  // namespace tolmix
