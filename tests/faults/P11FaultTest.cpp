// Faults of a PKCS#11 token: SoftHSM2 behind the p11wrap module (listed in
// P11_SKF.ini), which fails one named call with a given CKR, or a module
// file that is gone.  Signing and file decryption through the engine fail
// with their message, keep an existing target, and leave nothing mapped.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "engine/CMSEngine.h"
#include "engine/PinRefusals.h"
#include "tests/faults/FaultSupport.h"
#include "tests/keyload/KeyLoadBed.h"

namespace tolmix::faulttest {
namespace {

namespace fs = std::filesystem;
using keyloadtest::ErrorUtf8;
using keyloadtest::KeyLoadBed;
using skftest::CaptureStdout;

constexpr char kPlain[] = "content for the token\n";
constexpr char kKeep[] = "an earlier target\n";

struct Outcome {
  int result = -2;
  std::string message;  // UTF-8
};

class P11FaultTest : public ::testing::Test {
 protected:
  // One token for the suite (provisioning is slow); no GM_SKF.ini, so the
  // SKF probe finds nothing and every key load takes the "P11" route.
  static void SetUpTestSuite() {
    bed_ = new KeyLoadBed;
    ok_ = bed_->Create(true);
    if (!ok_) return;
    std::error_code ec;
    fs::create_symlink(P11WRAP_SO, bed_->skf.system_dir + "/p11wrap.so", ec);
    dir_ = bed_->skf.root + "/files";
    fs::create_directories(dir_, ec);
    WriteFile(dir_ + "/plain.txt", kPlain);
    UseModule("p11wrap.so");
    CMSEngine e;
    e.SetInterface("P11");
    ok_ = !ec && e.EnvelopeEncryptFile((dir_ + "/plain.txt").c_str(), (dir_ + "/env.pem").c_str(),
                                       bed_->p11_exchange_pem.c_str()) == 0;
  }
  static void TearDownTestSuite() {
    bed_->Remove();
    delete bed_;
  }
  void SetUp() override {
    ASSERT_TRUE(ok_);
    UseModule("p11wrap.so");
  }
  void TearDown() override {
    unsetenv("P11WRAP_FAIL");
    unsetenv("P11WRAP_COUNT");
    unsetenv("P11WRAP_CALLS");
  }

  static void UseModule(const char* name) {
    WriteFile(bed_->skf.system_dir + "/P11_SKF.ini",
              std::string("[DeviceCount]\nDeviceCount=1\n[Device_1]\nDLLName=") + name + "\n");
  }
  static void Prepare(CMSEngine& e) {
    e.SetInterface("P11");
    e.SetPassword(keyloadtest::kP11Pin);
  }
  // Each operation starts as a fresh process would: no PIN refused yet (a
  // fault that refused one would otherwise keep the later ones from the
  // device).
  Outcome Sign() {
    ForgetPinRefusals();
    CMSEngine e;
    Prepare(e);
    std::string pem;
    Outcome o;
    CaptureStdout([&] { o.result = e.SignData(kPlain, sizeof kPlain - 1, 1, &pem); });
    o.message = ErrorUtf8(e);
    return o;
  }
  Outcome DecryptFile() {
    ForgetPinRefusals();
    WriteFile(dir_ + "/out.txt", kKeep);
    CMSEngine e;
    Prepare(e);
    Outcome o;
    CaptureStdout([&] {
      o.result = e.EnvelopeDecryptFile((dir_ + "/env.pem").c_str(), (dir_ + "/out.txt").c_str());
    });
    o.message = ErrorUtf8(e);
    return o;
  }
  static std::string ModulePath(const char* name) { return bed_->skf.system_dir + "/" + name; }

  static KeyLoadBed* bed_;
  static bool ok_;
  static std::string dir_;
};
KeyLoadBed* P11FaultTest::bed_;
bool P11FaultTest::ok_;
std::string P11FaultTest::dir_;

// SIGN_OK / DECRYPT_OK: that operation does not reach the failing call.
struct Fault {
  const char* fail;
  std::string sign;
  std::string decrypt;
  bool signOk = false, decryptOk = false;
};

TEST_F(P11FaultTest, EachFailingTokenCallGivesItsMessageAndKeepsTheTarget) {
  const std::string wrap = ModulePath("p11wrap.so");
  const std::string noLib = "获取p11函数库(" + wrap + ")失败";
  const Fault faults[] = {
      // The module gives no function list: the device is passed over
      // without a message; the SKF probe's stays.
      {"C_GetFunctionList=0x5", "加载设备失败!请确认是否插入USBKEY!",
       "加载设备失败!请确认是否插入USBKEY!"},
      {"C_Initialize=0x6", noLib, noLib},
      // It loads, but its device does not answer (a TPM's service gone).
      {"C_Initialize=0x30", "未发现UKEY设备", "未发现UKEY设备"},
      {"C_GetSlotList=0x30", "获取设备信息失败", "获取设备信息失败"},
      {"C_OpenSession=0x32", "打开设备会话失败", "打开设备会话失败"},
      {"C_Login=0xA0", "登录UKEY失败,密码错误,重复次数过多会锁死UKEY.",
       "登录UKEY失败,密码错误,重复次数过多会锁死UKEY."},
      {"C_FindObjectsInit=0x30", "加载私钥对象失败!", "加载私钥对象失败!"},
      {"C_GetAttributeValue=0x30", "加载私钥对象失败!", "加载私钥对象失败!"},
      {"C_Sign=0x32", "P7签名操作失败!", "", false, true},
      // C_Decrypt is left out: a failed unwrap goes on with a random
      // content key (see SkfFaultTest.DISABLED_UnwrapFailureIsNeverSuccess).
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.fail);
    setenv("P11WRAP_FAIL", f.fail, 1);
    Outcome s = Sign();
    EXPECT_EQ(s.result, f.signOk ? 0 : -1) << s.message;
    if (!f.signOk) {
      EXPECT_EQ(s.message, f.sign);
    }
    Outcome d = DecryptFile();
    EXPECT_EQ(d.result, f.decryptOk ? 0 : -1) << d.message;
    if (!f.decryptOk) {
      EXPECT_EQ(d.message, f.decrypt);
    }
    EXPECT_EQ(ReadAll(dir_ + "/out.txt"), f.decryptOk ? kPlain : kKeep);
    EXPECT_EQ(Listing(dir_), "env.pem\nout.txt\nplain.txt\n");
    EXPECT_EQ(MappedModules(), "");
  }
}

// A token that is busy with other programs refuses for a moment (SoftHSM2:
// CKR_TOKEN_NOT_RECOGNIZED, and from C_Login before the PIN is compared
// CKR_USER_PIN_NOT_INITIALIZED or CKR_GENERAL_ERROR): such refusals are
// asked again and the signature is made; one that does not pass fails with
// the step's message once the retry budget (2 s) is spent; a refused PIN is
// never sent again.  CALLS counts the calls of the function named first in
// FAIL, from the PIN check to the signature.
TEST_F(P11FaultTest, BusyTokenIsAskedAgainWithinTheBudgetButAPinOnlyOnce) {
  struct Busy {
    const char* fail;
    int checked;          // the PIN check's result: 0, or C_Login's answer, or -1
    const char* message;  // of the check when it fails, else of the signature ("" = it signs)
    int minCalls, maxCalls;
    double minSeconds, maxSeconds;
  };
  const char* login = "登录UKEY失败,密码错误,重复次数过多会锁死UKEY.";
  const Busy cases[] = {
      // passing refusals: PIN check, certificate and key load, signature
      {"C_OpenSession=0xE1/3", 0, "", 4, 12, 0, 1.5},
      {"C_GetSlotList=0xE1/2", 0, "", 3, 20, 0, 1.5},
      {"C_Login=0x102/3", 0, "", 4, 8, 0, 1.5},
      {"C_Login=0x5/1", 0, "", 2, 4, 0, 1.5},
      {"C_FindObjectsInit=0xE1/2", 0, "", 3, 12, 0, 1.5},
      {"C_SignInit=0xE1/2", 0, "", 3, 3, 0, 1.5},
      // general errors that spent no try (the PIN flags stay clear) are
      // asked again; a refused PIN is never sent again
      {"C_Login=0x5/2", 0, "", 3, 5, 0, 1.5},
      {"C_Login=0xA0", 0xA0, login, 1, 1, 0, 1.0},
      // a token that stays busy fails after the budget with the usual
      // message: the PIN check's, or the check's and the key load's
      {"C_OpenSession=0xE1", -1, "打开设备会话失败", 10, 1000, 1.9, 3.5},
      {"C_FindObjectsInit=0xE1", 0, "加载私钥对象失败!", 10, 1000, 3.9, 5.5},
  };
  for (const Busy& b : cases) {
    SCOPED_TRACE(b.fail);
    setenv("P11WRAP_FAIL", b.fail, 1);
    const std::string function(b.fail, strchr(b.fail, '=') - b.fail);
    setenv("P11WRAP_COUNT", function.c_str(), 1);
    setenv("P11WRAP_CALLS", "0", 1);
    const auto start = std::chrono::steady_clock::now();
    // The PIN check's result is C_Login's answer; the signature's is -1.
    ForgetPinRefusals();
    CMSEngine e;
    Prepare(e);
    const int checked = e.LoginP11Device();
    Outcome s;
    if (checked == 0) s = Sign();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const int calls = atoi(getenv("P11WRAP_CALLS"));
    printf("%s: %d calls of %s, %.2f s\n", b.fail, calls, function.c_str(), seconds);
    EXPECT_EQ(checked, b.checked) << ErrorUtf8(e);
    if (b.checked != 0) {
      EXPECT_EQ(ErrorUtf8(e), b.message);
    } else {
      EXPECT_EQ(s.result, *b.message ? -1 : 0) << s.message;
      if (*b.message) {
        EXPECT_EQ(s.message, b.message);
      }
    }
    EXPECT_GE(calls, b.minCalls);
    EXPECT_LE(calls, b.maxCalls);
    EXPECT_GE(seconds, b.minSeconds);
    EXPECT_LE(seconds, b.maxSeconds);
    EXPECT_EQ(MappedModules(), "");
  }
}

TEST_F(P11FaultTest, ModuleGoneGivesTheLoadMessage) {
  UseModule("gone.so");
  const std::string message = "加载p11库(" + ModulePath("gone.so") + ")失败";
  Outcome s = Sign();
  EXPECT_EQ(s.result, -1);
  EXPECT_EQ(s.message, message);
  Outcome d = DecryptFile();
  EXPECT_EQ(d.result, -1);
  EXPECT_EQ(d.message, message);
  EXPECT_EQ(ReadAll(dir_ + "/out.txt"), kKeep);
  EXPECT_EQ(MappedModules(), "");
}

}  // namespace
}  // namespace tolmix::faulttest
