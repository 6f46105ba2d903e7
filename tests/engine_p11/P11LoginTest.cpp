// The PIN check on the first PKCS#11 token of P11_SKF.ini, against SoftHSM2.
#include <dlfcn.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include <p11-kit/pkcs11.h>

#include "engine/CMSEngine.h"
#include "tests/engine_p11/Bed.h"

namespace tolmix::p11test {
namespace {

// 登录UKEY失败,密码错误,重复次数过多会锁死UKEY.
constexpr char kLoginFailed[] =
    "\xB5\xC7\xC2\xBCUKEY\xCA\xA7\xB0\xDC,\xC3\xDC\xC2\xEB\xB4\xED\xCE\xF3,\xD6\xD8\xB8\xB4\xB4\xCE"
    "\xCA\xFD\xB9\xFD\xB6\xE0\xBB\xE1\xCB\xF8\xCB\xC0UKEY.";
// 密码为空,请输入密码!
constexpr char kEmptyPin[] = "\xC3\xDC\xC2\xEB\xCE\xAA\xBF\xD5,\xC7\xEB\xCA\xE4\xC8\xEB\xC3\xDC\xC2\xEB!";
// 加载p11库(
constexpr char kLoadFailedHead[] = "\xBC\xD3\xD4\xD8p11\xBF\xE2(";
// 获取p11函数库(
constexpr char kFunctionsFailedHead[] = "\xBB\xF1\xC8\xA1p11\xBA\xAF\xCA\xFD\xBF\xE2(";
// )失败
constexpr char kFailedTail[] = ")\xCA\xA7\xB0\xDC";
// 加载引擎库nosuch.dll失败: a message left by an earlier failure
constexpr char kEarlierMessage[] = "\xBC\xD3\xD4\xD8\xD2\xFD\xC7\xE6\xBF\xE2nosuch.dll\xCA\xA7\xB0\xDC";

class P11LoginTest : public BedTest {
 protected:
  // The check's token choice and login are the engine module's.
  void SetUp() override {
    BedTest::SetUp();
    LinkModule(kEngineModule, "pkcs11_rsa_key.so");
  }
  std::string Error(const CMSEngine& engine) const {
    char text[CMSEngine::kErrorTextSize];
    engine.GetErrorText(text);
    return text;
  }
  std::string ModulePath(const char* name) const { return Bed().system_dir + "/" + name; }
  void WriteList(const std::string& text) const {
    std::ofstream(Bed().system_dir + "/P11_SKF.ini", std::ios::trunc) << text;
  }
};

TEST_F(P11LoginTest, PinResults) {
  CMSEngine good;
  EXPECT_EQ(good.SetPasswordAndLoginP11(kPin), 0);
  EXPECT_EQ(Error(good), "");

  CMSEngine wrong;
  EXPECT_EQ(wrong.SetPasswordAndLoginP11("999999"), static_cast<int>(CKR_PIN_INCORRECT));
  EXPECT_EQ(Error(wrong), kLoginFailed);

  CMSEngine empty;
  EXPECT_EQ(empty.SetPasswordAndLoginP11(""), -1);
  EXPECT_EQ(Error(empty), kEmptyPin);

  // The wrong PIN did not leave the token locked for the right one.
  CMSEngine again;
  EXPECT_EQ(again.SetPasswordAndLoginP11(kPin), 0);
}

TEST_F(P11LoginTest, BadDeviceCountFailsWithoutMessage) {
  for (const char* count : {"0", "-3", "many", ""}) {
    SCOPED_TRACE(count);
    WriteList(std::string("[DeviceCount]\nDeviceCount=") + count +
              "\n[Device_1]\nDLLName=libsofthsm2.so\n");
    CMSEngine engine;
    ASSERT_EQ(engine.LoadDynamicEngine("nosuch"), -1);
    ASSERT_EQ(Error(engine), kEarlierMessage);
    EXPECT_EQ(engine.SetPasswordAndLoginP11(kPin), -1);
    EXPECT_EQ(Error(engine), kEarlierMessage);
  }
  std::remove((Bed().system_dir + "/P11_SKF.ini").c_str());
  CMSEngine engine;
  EXPECT_EQ(engine.SetPasswordAndLoginP11(kPin), -1);
  EXPECT_EQ(Error(engine), "");
}

TEST_F(P11LoginTest, EmptyDllNameEndsTheList) {
  WriteList("[DeviceCount]\nDeviceCount=3\n[Device_1]\nDLLName=missing.so\n"
            "[Device_2]\nDLLName=\n[Device_3]\nDLLName=libsofthsm2.so\n");
  CMSEngine engine;
  EXPECT_EQ(engine.SetPasswordAndLoginP11(kPin), -1);
  // Device_1's message stays: Device_2 ended the walk without one of its own.
  EXPECT_EQ(Error(engine), kLoadFailedHead + ModulePath("missing.so") + kFailedTail);
}

TEST_F(P11LoginTest, LaterDeviceAnswersAfterFailedOnes) {
  LinkModule(kEngineModule, "no_pkcs11.so");  // loads, but has no C_GetFunctionList
  ASSERT_TRUE(Bed().WriteDeviceList({"missing.so", "no_pkcs11.so", "libsofthsm2.so"}));
  CMSEngine good;
  EXPECT_EQ(good.SetPasswordAndLoginP11(kPin), 0);
  CMSEngine wrong;
  EXPECT_EQ(wrong.SetPasswordAndLoginP11("000000"), static_cast<int>(CKR_PIN_INCORRECT));
  EXPECT_EQ(Error(wrong), kLoginFailed);

  ASSERT_TRUE(Bed().WriteDeviceList({"no_pkcs11.so", "missing.so"}));
  CMSEngine none;
  EXPECT_EQ(none.SetPasswordAndLoginP11(kPin), -1);
  EXPECT_EQ(Error(none), kLoadFailedHead + ModulePath("missing.so") + kFailedTail);
  ASSERT_TRUE(Bed().WriteDeviceList({"missing.so", "no_pkcs11.so"}));
  EXPECT_EQ(none.SetPasswordAndLoginP11(kPin), -1);
  EXPECT_EQ(Error(none), kFunctionsFailedHead + ModulePath("no_pkcs11.so") + kFailedTail);
  UnlinkModule("no_pkcs11.so");
}

TEST_F(P11LoginTest, OverlongModulePathIsRefused) {
  std::string name(255, 'x');  // with the system directory, far over 255 bytes
  ASSERT_TRUE(Bed().WriteDeviceList({name.c_str(), "libsofthsm2.so"}));
  CMSEngine engine;
  EXPECT_EQ(engine.SetPasswordAndLoginP11(kPin), 0);
  ASSERT_TRUE(Bed().WriteDeviceList({name.c_str()}));
  EXPECT_EQ(engine.SetPasswordAndLoginP11(kPin), -1);
  std::string error = Error(engine);
  EXPECT_EQ(error.rfind(kLoadFailedHead, 0), 0u) << error;
  EXPECT_LT(error.size(), CMSEngine::kErrorTextSize);
}

// A module the process already uses is used as it is, and left initialised:
// finalising it would end the other user's work.
TEST_F(P11LoginTest, ModuleAlreadyInitialisedIsUsedAndLeftInitialised) {
  void* lib = dlopen(kSoftHsmModule, RTLD_NOW);
  ASSERT_NE(lib, nullptr);
  auto get_list = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
  ASSERT_NE(get_list, nullptr);
  CK_FUNCTION_LIST_PTR f = nullptr;
  ASSERT_EQ(get_list(&f), CKR_OK);
  ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);

  CMSEngine engine;
  EXPECT_EQ(engine.SetPasswordAndLoginP11(kPin), 0);
  CK_ULONG count = 0;
  EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
  EXPECT_GE(count, 1u);

  EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
  dlclose(lib);
}

}  // namespace
}  // namespace tolmix::p11test
