// CSKFDevice against the soft SKF library's test build: finding the library
// through GM_SKF.ini, the entry-point look-up, the session operations and
// their console lines, byte for byte.
#include <set>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "skf/SKFDevice.h"
#include "tests/skf/SkfBed.h"

namespace tolmix::skftest {
namespace {

TEST(SkfEntryPoints, FiftySixEntriesFiftyFiveNamesChangePinTwice) {
  std::set<std::string_view> names(kSkfEntryPoints.begin(), kSkfEntryPoints.end());
  EXPECT_EQ(kSkfEntryPoints.size(), 56u);
  EXPECT_EQ(names.size(), 55u);
  EXPECT_STREQ(kSkfEntryPoints[6], "SKF_ChangePIN");
  EXPECT_STREQ(kSkfEntryPoints[55], "SKF_ChangePIN");
}

class SkfDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bed_.Create());
    ASSERT_TRUE(bed_.InitToken());
  }
  void TearDown() override { bed_.Remove(); }

  // Loads the linked test build and connects to KEY1.
  void Connect(CSKFDevice& dev) {
    char list[CSKFDevice::kListSize] = {};
    ULONG size = sizeof list;
    ASSERT_EQ(dev.LoadSkfLibrary(list, &size, (bed_.system_dir + "/SKFAPI.so").c_str()), SAR_OK);
    EXPECT_EQ(std::string(list, size), std::string("KEY1\0\0", 6));
    size = sizeof list;
    ASSERT_EQ(dev.ConnectAndListApplications(list, &size, nullptr), SAR_OK);
  }

  // Starts recording the mock library's calls; Calls() reads them back.
  void Record() {
    log_ = bed_.root + "/calls.log";
    setenv("SKFAPI_MOCK_LOG", log_.c_str(), 1);
  }
  std::string Calls() const { return ReadFileText(log_); }

  SkfBed bed_;
  std::string log_;
};

TEST_F(SkfDeviceTest, LibraryWithoutDevAuthFallsThroughToTheNextEntry) {
  ASSERT_TRUE(bed_.WriteDeviceList({"SKFAPI_nodevauth.so", "SKFAPI.so"}));
  CSKFDevice dev;
  char path[CSKFDevice::kLibraryPathSize] = {};
  std::string out = CaptureStdout([&] { EXPECT_EQ(dev.FindConfiguredLibrary(path), 0); });
  EXPECT_EQ(out, "load library func failed, error code 0x10000001...\n");
  EXPECT_EQ(std::string(path), bed_.system_dir + "/SKFAPI.so");
  EXPECT_TRUE(dev.IsLoaded());
}

TEST_F(SkfDeviceTest, SearchStopsAtTheFirstMissingSection) {
  // Device_2 is missing; Device_3 would work but is never reached.
  ASSERT_TRUE(bed_.WriteDeviceList({"missing.so", nullptr, "SKFAPI.so"}, 3));
  CSKFDevice dev;
  char path[CSKFDevice::kLibraryPathSize] = "untouched";
  std::string out = CaptureStdout([&] { EXPECT_EQ(dev.FindConfiguredLibrary(path), -1); });
  EXPECT_EQ(out, "LoadLibraryA failed, error code 0x10000001...\n");
  EXPECT_STREQ(path, "untouched");
}

TEST_F(SkfDeviceTest, NoDeviceListFileOrNoCountFindsNothing) {
  CSKFDevice dev;
  char path[CSKFDevice::kLibraryPathSize] = {};
  EXPECT_EQ(dev.FindConfiguredLibrary(path), -1);
  ASSERT_TRUE(bed_.WriteDeviceList({"SKFAPI.so"}, 0));
  std::string out = CaptureStdout([&] { EXPECT_EQ(dev.FindConfiguredLibrary(path), -1); });
  EXPECT_EQ(out, "");
  EXPECT_FALSE(dev.IsLoaded());
}

TEST_F(SkfDeviceTest, NoPresentDeviceIsAnEmptyListAndTheSearchGoesOn) {
  bed_.Remove();
  ASSERT_TRUE(bed_.Create());  // a token without devices
  ASSERT_TRUE(bed_.WriteDeviceList({"SKFAPI.so", "SKFAPI_nodevauth.so"}));
  CSKFDevice dev;
  char path[CSKFDevice::kLibraryPathSize] = {};
  std::string out = CaptureStdout([&] { EXPECT_EQ(dev.FindConfiguredLibrary(path), -1); });
  EXPECT_EQ(out,
            "SKF_EnumDev: ulNameLen <= 1 failed, error code 0x10000002...\n"
            "load library func failed, error code 0x10000001...\n");
}

TEST_F(SkfDeviceTest, DeviceListNeedsABufferLargeEnough) {
  CSKFDevice dev;
  char list[4] = {};
  ULONG size = sizeof list;
  EXPECT_EQ(dev.LoadSkfLibrary(list, &size, (bed_.system_dir + "/SKFAPI.so").c_str()),
            DEVERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 6u);  // "KEY1", NUL, NUL
  size = 100;
  EXPECT_EQ(dev.EnumDevices(nullptr, &size), DEVERR_BUFFER_TOO_SMALL);
}

TEST_F(SkfDeviceTest, SessionWalkPrintsOneLinePerCall) {
  Identity sign = MakeSm2("SM2 signer");
  ASSERT_TRUE(bed_.Import("C1", sign));
  CSKFDevice dev;
  unsigned char cert[4096];
  ULONG len = sizeof cert;
  std::string out = CaptureStdout([&] {
    Connect(dev);
    ASSERT_EQ(dev.OpenApplicationAndVerifyPin(kUserPin, USER_TYPE, kApplication), SAR_OK);
    ULONG size = 0;
    ASSERT_EQ(dev.EnumContainers(nullptr, &size), SAR_OK);
    EXPECT_EQ(size, 4u);  // "C1", NUL, NUL
    // An existing container: creation fails, opening succeeds, one line.
    ASSERT_EQ(dev.CreateOrOpenContainer("C1", true), SAR_OK);
    ASSERT_EQ(dev.ExportCertificate(TRUE, cert, &len), SAR_OK);
    dev.CloseContainer();
    EXPECT_EQ(dev.CreateOrOpenContainer("C1", false), SAR_OK);
    EXPECT_EQ(dev.ExportCertificate(FALSE, cert, &len), SAR_CERTNOTFOUNTERR);
  });
  EXPECT_EQ(out,
            "SKF_ConnectDev success...\n"
            "SKF_EnumApplication success...\n"
            "SKF_OpenApplication success...\n"
            "SKF_VerifyPin success...\n"
            "SKF_EnumContainer success...\n"
            "SKF_CreateContainer success...\n"
            "SKF_ExportCertificate success...\n"
            "SKF_OpenContainer success...\n"
            "SKF_ExportCertificate failed, error code 0xa00001c...\n");
}

TEST_F(SkfDeviceTest, WrongPinKeepsTheReportedRetryCountAndDropsTheApplication) {
  CSKFDevice dev;
  Connect(dev);
  std::string out = CaptureStdout([&] {
    EXPECT_EQ(dev.OpenApplicationAndVerifyPin("00000000", USER_TYPE, kApplication),
              static_cast<ULONG>(SAR_PIN_INCORRECT));
  });
  EXPECT_EQ(out,
            "SKF_OpenApplication success...\n"
            "SKF_VerifyPin failed, error code 0xa000024...\n");
  EXPECT_EQ(dev.PinRetryCount(), static_cast<ULONG>(kRetries - 1));
  ULONG size = 0;
  EXPECT_EQ(dev.EnumContainers(nullptr, &size), DEVERR_NOT_OPEN);
  EXPECT_EQ(dev.CreateOrOpenContainer("C1", true), DEVERR_NOT_OPEN);
}

TEST_F(SkfDeviceTest, CodesOfTheLibraryPassThroughUnchanged) {
  CSKFDevice dev;
  char list[CSKFDevice::kListSize] = {};
  ULONG size = sizeof list;
  ASSERT_EQ(dev.LoadSkfLibrary(list, &size, (bed_.system_dir + "/SKFAPI.so").c_str()), SAR_OK);
  setenv("SKFAPI_MOCK_FAIL", "SKF_ConnectDev=0x0A000023", 1);
  size = sizeof list;
  std::string out = CaptureStdout([&] {
    EXPECT_EQ(dev.ConnectAndListApplications(list, &size, nullptr),
              static_cast<ULONG>(SAR_DEVICE_REMOVED));
  });
  EXPECT_EQ(out, "SKF_ConnectDev failed, error code 0xa000023...\n");
}

TEST_F(SkfDeviceTest, ListedDeviceIsNotListedAgainAndClosedHandlesCallNothing) {
  CSKFDevice dev;
  Connect(dev);
  Record();
  char list[CSKFDevice::kListSize] = {};
  ULONG size = sizeof list;
  unsigned char cert[16];
  ULONG len = sizeof cert;
  std::string out = CaptureStdout([&] {
    EXPECT_EQ(dev.ConnectAndListApplications(list, &size, nullptr), SAR_OK);
    EXPECT_EQ(dev.EnumDevices(list, &size), SAR_OK);
    EXPECT_EQ(dev.ExportCertificate(TRUE, cert, &len), DEVERR_NOT_OPEN);
  });
  EXPECT_EQ(out, "");
  EXPECT_EQ(Calls(), "");
  // Once the flag is cleared, connecting runs again.
  dev.ClearApplicationsListed();
  CaptureStdout([&] { EXPECT_EQ(dev.ConnectAndListApplications(list, &size, "KEY1"), SAR_OK); });
  EXPECT_EQ(Calls(), "SKF_ConnectDev 0x00000000\nSKF_EnumApplication 0x00000000\n");
}

TEST_F(SkfDeviceTest, UnloadForgetsEveryHandleOfTheLibrary) {
  CSKFDevice dev;
  Connect(dev);
  CaptureStdout([&] {
    ASSERT_EQ(dev.OpenApplicationAndVerifyPin(kUserPin, USER_TYPE, kApplication), SAR_OK);
  });
  EXPECT_EQ(dev.Unload(), 1);
  EXPECT_EQ(dev.Unload(), 0);
  ULONG size = 0;
  EXPECT_EQ(dev.EnumContainers(nullptr, &size), DEVERR_NOT_OPEN);
  EXPECT_EQ(dev.OpenApplicationAndVerifyPin(kUserPin, USER_TYPE, kApplication), DEVERR_NOT_OPEN);
  char list[16];
  size = sizeof list;
  EXPECT_EQ(dev.ConnectAndListApplications(list, &size, nullptr), DEVERR_LOAD);
}

}  // namespace
}  // namespace tolmix::skftest
