// Which device sees a PIN, with a PKCS#11 token and an SKF key plugged in
// at the same time.  One sandbox; its device lists put OpenSC's pkcs11-spy
// in front of the SoftHSM2 token and name the soft SKF library's test
// build, so every C_Login the token gets and every SKF_VerifyPIN the key
// gets is on record.  Each case runs one `tolmix call` process from a key
// with a known number of tries and empty records.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e_support/E2eBed.h"

namespace tolmix::e2e {
namespace {

constexpr char kSpy[] = "/usr/lib/x86_64-linux-gnu/pkcs11/pkcs11-spy.so";
constexpr char kSoftHsm[] = "/usr/lib/softhsm/libsofthsm2.so";
// The sandbox's soft SKF key (host/SandboxParts.h).
constexpr char kSkfDevice[] = "TolmixSoftKey";
constexpr char kSkfApplication[] = "TOLMIX";
constexpr char kSkfSoPin[] = "66666666";

constexpr char kEmptyPin[] = "密码为空,请输入密码!";
constexpr char kSkfRefused9[] = "登录设备失败，口令是否正确,您还有9次尝试机会!!!!!!";
constexpr char kSkfRefused0[] = "登录设备失败，口令是否正确,您还有0次尝试机会!!!!!!";
constexpr char kTokenRefused[] = "登录UKEY失败,密码错误,重复次数过多会锁死UKEY.";

// At least one for each run of the repeated member.
constexpr int kEachRun = -1;

// Lines of TEXT that KEEP accepts.  (No std::regex: GCC 12 warns falsely
// inside it in the sanitizer build.)
template <class Keep>
size_t CountLines(const std::string& text, Keep keep) {
  size_t n = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (keep(std::string_view(text).substr(at, end - at))) ++n;
    at = end + 1;
  }
  return n;
}

constexpr std::string_view kRetriesKey = "user_retries_left = ";

// Where the number of "user_retries_left = N" starts and how long it is.
bool FindRetries(const std::string& conf, size_t* at, size_t* length) {
  size_t key = conf.find(kRetriesKey);
  if (key == std::string::npos) return false;
  *at = key + kRetriesKey.size();
  *length = 0;
  while (*at + *length < conf.size() && conf[*at + *length] >= '0' && conf[*at + *length] <= '9') {
    ++*length;
  }
  return *length > 0;
}

class PinRouting : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (access(kSpy, R_OK) != 0) return;  // each case skips
    bed_ = new Bed(TOLMIX_HOST);
    if (!bed_->Ok()) return;
    // Both device lists of the sandbox's system folder are rewritten to
    // reach the devices through the recording modules.
    const std::string system = bed_->Var("TOLMIX_SYSTEM_DIR");
    std::error_code ec;
    std::filesystem::create_symlink(kSpy, system + "/pkcs11-spy.so", ec);
    std::filesystem::create_symlink(SKFAPI_MOCK_SO, system + "/SKFAPI_mock.so", ec);
    auto list = [](const char* dll) {
      return std::string("[DeviceCount]\nDeviceCount=1\n\n[Device_1]\nDLLName=") + dll + "\n";
    };
    WriteFile(system + "/P11_SKF.ini", list("pkcs11-spy.so"));
    WriteFile(system + "/GM_SKF.ini", list("SKFAPI_mock.so"));
  }
  // Plugs the SKF key in (its library listed) or pulls it (none listed).
  static void PlugKey(bool plugged) {
    const std::string list = plugged ? "[DeviceCount]\nDeviceCount=1\n\n[Device_1]\nDLLName=SKFAPI_mock.so\n"
                                     : "[DeviceCount]\nDeviceCount=0\n";
    WriteFile(bed_->Var("TOLMIX_SYSTEM_DIR") + "/GM_SKF.ini", list);
  }
  static void TearDownTestSuite() {
    delete bed_;
    bed_ = nullptr;
  }
  void SetUp() override {
    if (access(kSpy, R_OK) != 0) GTEST_SKIP() << kSpy << " missing (Debian package opensc-pkcs11)";
    ASSERT_TRUE(bed_->Ok()) << bed_->Problem();
    spyLog_ = bed_->Scratch("spy.log");
    skfLog_ = bed_->Scratch("skf.log");
  }

  // OpenSC's pkcs11-spy never frees the function lists it hands out (two
  // blocks of 744 bytes a load): the sanitizer build's leak check is left to
  // the tests that load SoftHSM2 directly.
  Env Recording() const {
    return {{"PKCS11SPY", kSoftHsm},
            {"PKCS11SPY_OUTPUT", spyLog_},
            {"SKFAPI_MOCK_LOG", skfLog_},
            {"LSAN_OPTIONS", "detect_leaks=0"}};
  }
  std::string AppConf() const {
    return bed_->Var("TOLMIX_SKF_TOKEN_DIR") + "/" + kSkfDevice + "/" + kSkfApplication +
           "/app.conf";
  }
  // The key's user PIN reset by softskf, then its tries left set to TRIES.
  void ResetKey(int tries) {
    Outcome r = Shell("env TOLMIX_SKF_TOKEN_DIR=" + Quoted(bed_->Var("TOLMIX_SKF_TOKEN_DIR")) +
                          " " + Quoted(SOFTSKF_EXE) + " init " + kSkfDevice + " " +
                          kSkfApplication + " " + bed_->Var("TOLMIX_SANDBOX_SKF_PIN") + " " +
                          kSkfSoPin + " 10",
                      bed_->Scratch("softskf.err"));
    ASSERT_EQ(r.status, 0) << r.err;
    std::string conf = ReadFile(AppConf());
    size_t at = 0, length = 0;
    ASSERT_TRUE(FindRetries(conf, &at, &length)) << conf;
    conf.replace(at, length, std::to_string(tries));
    WriteFile(AppConf(), conf);
    ASSERT_EQ(SkfTriesLeft(), tries);
  }
  int SkfTriesLeft() const {
    const std::string conf = ReadFile(AppConf());
    size_t at = 0, length = 0;
    return FindRetries(conf, &at, &length) ? std::stoi(conf.substr(at, length)) : -1;
  }
  size_t SkfVerifies() const {
    return CountLines(ReadFile(skfLog_),
                      [](std::string_view line) { return line.starts_with("SKF_VerifyPIN "); });
  }
  size_t TokenLogins() const { return TokenCalls(": C_Login"); }
  // pkcs11-spy writes "N: C_Login" for each call.
  size_t TokenCalls(std::string_view call) const {
    return CountLines(ReadFile(spyLog_), [call](std::string_view line) {
      size_t digits = line.find_first_not_of("0123456789");
      return digits > 0 && digits != std::string_view::npos && line.substr(digits) == call;
    });
  }

  static Bed* bed_;
  std::string spyLog_, skfLog_;
};
Bed* PinRouting::bed_ = nullptr;

struct Case {
  const char* what;
  int triesBefore;                               // the SKF key's tries left at the start
  std::vector<std::vector<std::string>> before;  // members run first
  std::vector<std::string> repeated;             // then this member, TIMES times
  int times;
  const char* result;  // what each run returns: "true", "false", or a PKI certificate file
  const char* error;   // GetLastErrorInfo(0) at the end; nullptr: not checked
  const char* current; // GetCert at the end: a PKI certificate file, nullptr for ""
  int skfVerifies;     // SKF_VerifyPIN calls the key saw (kEachRun: at least TIMES)
  int skfTriesAfter;
  int tokenLogins;     // C_Login calls the token saw (kEachRun: at least TIMES)
  const char* firstResult = nullptr;  // what the first member before returns; nullptr: not checked
  bool keyPulled = false;             // the SKF key is not plugged in
};

TEST_F(PinRouting, EachDeviceSeesOnlyThePinMeantForIt) {
  const std::string tokenPin = bed_->Var("TOLMIX_SANDBOX_P11_PIN");
  const std::string keyPin = bed_->Var("TOLMIX_SANDBOX_SKF_PIN");
  const Case cases[] = {
      // An empty PIN reaches no device, however often it is tried.
      {"no session", 10, {}, {"Sign", "x"}, 20, "false", kEmptyPin, nullptr, 0, 10, 0},
      {"SKF, empty PIN", 10, {{"SetPasswd", "SKF", "", "1"}}, {"Sign", "x"}, 20, "false",
       kEmptyPin, nullptr, 0, 10, 0},
      // Exporting a certificate needs no login; the SM2 one is the key's.
      {"GetCertEx with a PIN set", 10, {{"Initialize", "P11", tokenPin}}, {"GetCertEx", "2"}, 20,
       "skf-sm2-sign.pem", nullptr, "skf-sm2-sign.pem", 0, 10, 0},
      // The token's PIN on "P11": the key refuses it once, and is not given
      // that PIN again for the life of the process.  The token sees one
      // login per call: SetPasswd's check and each Sign's key load.
      {"P11, the token's PIN", 10, {{"SetPasswd", "P11", tokenPin, "1"}}, {"Sign", "x"}, 20, "true",
       nullptr, "p11-sign.pem", 1, 9, 21},
      {"P11, the token's PIN, key locked", 0, {{"SetPasswd", "P11", tokenPin, "1"}},
       {"Sign", "x"}, 3, "true", nullptr, "p11-sign.pem", 0, 0, kEachRun},
      // "SKF": a refusal ends the call with the key's count; the token never
      // sees that PIN, nor does the key again.  A locked key is not asked
      // again.  A new SetPasswd with the right PIN signs at once.
      {"SKF, wrong PIN", 10, {{"SetPasswd", "SKF", "000000", "1"}}, {"Sign", "x"}, 3, "false",
       kSkfRefused9, nullptr, 1, 9, 0},
      {"SKF, wrong PIN, then the right one", 10,
       {{"SetPasswd", "SKF", "000000", "1"}, {"Sign", "x"}, {"SetPasswd", "SKF", keyPin, "1"}},
       {"Sign", "x"}, 2, "true", nullptr, "skf-sm2-sign.pem", kEachRun, 10, 0},
      {"SKF, key locked", 0, {{"SetPasswd", "SKF", keyPin, "1"}}, {"Sign", "x"}, 1, "false",
       kSkfRefused0, nullptr, 0, 0, 0},
      // The key's own PIN signs on the key (SM2) with no selector.  Given
      // to SetPasswd "P11", the token refuses it in the check, the session
      // keeps it, and the later calls sign on the key, which the "P11" route
      // probes first; the token is not given that PIN again.  With the key
      // pulled, the page spends one of the token's tries in all.
      {"no selector, the key's PIN", 10, {{"Initialize", "CSP", keyPin}}, {"Sign", "x"}, 3, "true",
       nullptr, "skf-sm2-sign.pem", kEachRun, 10, 0},
      {"P11, the key's PIN", 9, {{"SetPasswd", "P11", keyPin, "1"}}, {"Sign", "x"}, 3,
       "true", nullptr, "skf-sm2-sign.pem", kEachRun, 10, 1, "false"},
      {"P11, the key's PIN, key pulled", 9, {{"SetPasswd", "P11", keyPin, "1"}}, {"Sign", "x"}, 5,
       "false", kTokenRefused, nullptr, 0, 9, 1, "false", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetKey(c.triesBefore);
    PlugKey(!c.keyPulled);
    std::filesystem::remove(spyLog_);
    std::filesystem::remove(skfLog_);
    const bool pem = std::string(c.result).ends_with(".pem");
    std::vector<std::vector<std::string>> members = c.before;
    std::string shape(c.before.size(), 'l');
    for (int i = 0; i < c.times; ++i) {
      members.push_back(c.repeated);
      shape += pem ? 'p' : 'l';
    }
    members.push_back({"GetLastErrorInfo", "0"});
    members.push_back({"GetCert"});
    shape += "lp";

    Outcome run = bed_->Call(members, Recording());
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> out = Results(run.out, shape);
    const std::string want = pem ? ReadFile(bed_->Pki(c.result)) : c.result;
    if (c.firstResult) {
      EXPECT_EQ(out[0], c.firstResult);
    }
    for (int i = 0; i < c.times; ++i) {
      EXPECT_EQ(out[c.before.size() + static_cast<size_t>(i)], want) << "run " << i;
    }
    if (c.error) {
      EXPECT_EQ(out[out.size() - 2], c.error);
    }
    EXPECT_EQ(out.back(), c.current ? ReadFile(bed_->Pki(c.current)) : std::string());

    const size_t times = static_cast<size_t>(c.times);
    if (c.skfVerifies == kEachRun) {
      EXPECT_GE(SkfVerifies(), times);
    } else {
      EXPECT_EQ(SkfVerifies(), static_cast<size_t>(c.skfVerifies));
    }
    EXPECT_EQ(SkfTriesLeft(), c.skfTriesAfter);
    // Every call gives the token back: each C_Initialize has its
    // C_Finalize before the process ends (a module kept loaded keeps its
    // objects in the device, which a TPM runs out of).
    EXPECT_EQ(TokenCalls(": C_Finalize"), TokenCalls(": C_Initialize"));
    if (c.tokenLogins != 0) {
      EXPECT_GE(TokenCalls(": C_Initialize"), 1u);
    }
    if (c.tokenLogins == kEachRun) {
      EXPECT_GE(TokenLogins(), times);
    } else {
      EXPECT_EQ(TokenLogins(), static_cast<size_t>(c.tokenLogins));
    }
  }
}

}  // namespace
}  // namespace tolmix::e2e
