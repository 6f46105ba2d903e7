// PINs never leave the place they are used: with logging on, calls with the
// right and with wrong PINs on the "SKF" and "P11" routes (signing, file
// envelopes, a failed login) leave no PIN in keyapi.log, on the console, in
// an error text or in any file under the sandbox or the temporary folder.
// Device key files and their folders are owner-only.
#include <sys/stat.h>

#include <filesystem>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/CMSEngine.h"
#include "tests/e2e_support/E2eBed.h"

namespace tolmix::secrettest {
namespace {

namespace fs = std::filesystem;

// PINs no file of the sandbox holds by chance.
constexpr char kSkfPin[] = "Sk9Qx4Vt";
constexpr char kP11Pin[] = "Pk7Rz2Lm";
constexpr char kWrongPin[] = "Wq5Jy8Hn";

std::string Hex(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// Where TEXT holds a PIN, plainly or as hex (either case); "" when nowhere.
std::string PinIn(const std::string& text) {
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  for (const char* pin : {kSkfPin, kP11Pin, kWrongPin}) {
    std::string hex = Hex(pin), hexUpper = hex;
    for (char& c : hexUpper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (text.find(pin) != std::string::npos || text.find(hex) != std::string::npos ||
        upper.find(hexUpper) != std::string::npos)
      return pin;
  }
  return "";
}

class PinLeakTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { bed_ = new e2e::Bed(TOLMIX_HOST); }
  static void TearDownTestSuite() { delete bed_; }
  void SetUp() override { ASSERT_TRUE(bed_->Ok()) << bed_->Problem(); }

  static e2e::Bed* bed_;
};
e2e::Bed* PinLeakTest::bed_;

TEST_F(PinLeakTest, NoPinInLogConsoleErrorsOrFiles) {
  e2e::Bed& bed = *bed_;
  const std::string log = bed.Var("TOLMIX_LOG_DIR") + "/keyapi.log";
  ASSERT_TRUE(fs::exists(log)) << "logging is on in the sandbox";
  const std::string tmp = bed.Scratch("tmp");
  fs::create_directories(tmp);

  // Distinctive PINs on both devices.
  ASSERT_EQ(e2e::Shell("env TOLMIX_SKF_TOKEN_DIR=" + e2e::Quoted(bed.Var("TOLMIX_SKF_TOKEN_DIR")) +
                           " " SOFTSKF_EXE " init TolmixSoftKey TOLMIX " + kSkfPin + " 66666666",
                       bed.Scratch("softskf.err"))
                .status,
            0);
  ASSERT_EQ(e2e::Shell("env SOFTHSM2_CONF=" + e2e::Quoted(bed.Var("SOFTHSM2_CONF")) +
                           " pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label "
                           "'Tolmix Sandbox P11' --login --pin 123456 --change-pin --new-pin " +
                           kP11Pin,
                       bed.Scratch("pkcs11-tool.err"))
                .status,
            0);

  const std::string plain = bed.Scratch("plain.txt"), enc = bed.Scratch("enc.p7"),
                    out = bed.Scratch("out.txt");
  e2e::WriteFile(plain, "secret-free content\n");
  struct Run {
    const char* selector;
    const char* pin;
    e2e::Env env;
    const char* encCert;
  };
  e2e::Env p11Env = bed.NoSkf();
  const Run runs[] = {
      {"SKF", kSkfPin, {}, "skf-sm2-enc.pem"},
      {"SKF", kWrongPin, {}, "skf-sm2-enc.pem"},
      {"P11", kP11Pin, p11Env, "p11-exchange.pem"},
      {"P11", kWrongPin, p11Env, "p11-exchange.pem"},
  };
  std::string seen;  // everything the calls printed
  for (const Run& run : runs) {
    e2e::Env env = run.env;
    env["TMPDIR"] = tmp;
    e2e::Outcome o = bed.Call({{"SetPasswd", run.selector, run.pin, "1"},
                               {"SignEnvelope", "content"},
                               {"EncryptFile", plain, enc, "@" + bed.Pki(run.encCert)},
                               {"DecryptFile", enc, out},
                               {"GetLastErrorInfo", "0"},
                               {"Digest", "x", "99"}},  // an unknown digest writes a log record
                              env);
    EXPECT_EQ(o.status, 0) << o.err;
    seen += o.out + o.err;
    int failed = 0;  // the digest fails, and with a wrong PIN the key's calls too
    std::istringstream lines(e2e::WithoutConsoleLines(o.out));
    for (std::string line; std::getline(lines, line);) failed += line == "false";
    EXPECT_EQ(failed == 1, run.pin != kWrongPin) << run.selector << "\n" << o.out;
  }
  EXPECT_EQ(PinIn(seen), "") << seen;
  const std::string logText = e2e::ReadFile(log);
  EXPECT_FALSE(logText.empty()) << "the calls wrote log records";
  EXPECT_EQ(PinIn(logText), "");

  // The test folder holds the sandbox, the temporary folder, the files of
  // the calls and what they printed on standard error.
  int files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(tmp).parent_path())) {
    if (!entry.is_regular_file()) continue;
    ++files;
    EXPECT_EQ(PinIn(e2e::ReadFile(entry.path().string())), "") << entry.path();
  }
  EXPECT_GT(files, 20);
}

// Files of the soft SKF key, the soft store and the SoftHSM2 token that
// hold a private key or PIN data (PEM private keys, app.conf, token
// objects), and their folders: no access for group or others.
TEST_F(PinLeakTest, KeyFilesAreOwnerOnly) {
  int checked = 0;
  std::vector<std::string> roots = {bed_->Var("TOLMIX_SKF_TOKEN_DIR"), bed_->Var("TOLMIX_STORE_DIR"),
                                    fs::path(bed_->Var("SOFTHSM2_CONF")).parent_path().string()};
  for (const std::string& root : roots)
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::string path = entry.path().string();
    const std::string name = entry.path().filename().string();
    bool secret = name == "app.conf" || name.ends_with(".object") ||
                  e2e::ReadFile(path).find("PRIVATE KEY-----") != std::string::npos;
    if (!secret) continue;
    ++checked;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << path;
    ASSERT_EQ(stat(entry.path().parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << entry.path().parent_path();
  }
  EXPECT_GE(checked, 4) << "the sandbox's device and store keys were found";
}

// The engine wipes its PIN field when it is destroyed: the PIN is not left
// in the memory the object occupied.
TEST(PinWipeTest, EngineLeavesNoPinBehind) {
  alignas(CMSEngine) unsigned char storage[sizeof(CMSEngine)];
  CMSEngine* e = new (storage) CMSEngine;
  e->SetPassword(kSkfPin);
  e->~CMSEngine();
  const std::string bytes(reinterpret_cast<const char*>(storage), sizeof storage);
  EXPECT_EQ(bytes.find(kSkfPin), std::string::npos);
}

}  // namespace
}  // namespace tolmix::secrettest
