// Device, application, PIN and container walk of the soft SKF library.
#include <fstream>

#include "tests/skfapi/SkfTestSupport.h"

namespace skftest {
namespace {

class SkfSessionTest : public SkfTest {};

TEST_F(SkfSessionTest, EnumDevListsPresentDevicesWithSizeQuery) {
  ULONG size = 0;
  ASSERT_EQ(api_->EnumDev(TRUE, nullptr, &size), SAR_OK);
  EXPECT_EQ(size, 1u);  // an empty token: just the closing NUL

  Provision();
  char dev2[] = "KEY2", app[] = "APP1", pin[] = "12345678";
  ASSERT_EQ(api_->InitApplication(dev2, app, pin, pin, 3), SAR_OK);
  ASSERT_EQ(api_->EnumDev(TRUE, nullptr, &size), SAR_OK);
  EXPECT_EQ(size, 11u);  // "KEY1\0KEY2\0\0"

  std::vector<char> buf(size, 'x');
  ULONG small = size - 1;
  EXPECT_EQ(api_->EnumDev(TRUE, buf.data(), &small), SAR_BUFFER_TOO_SMALL);
  EXPECT_EQ(small, size);
  EXPECT_EQ(buf[0], 'x');  // nothing written into a short buffer

  ASSERT_EQ(api_->EnumDev(TRUE, buf.data(), &size), SAR_OK);
  EXPECT_EQ(std::string(buf.data(), buf.size()), std::string("KEY1\0KEY2\0\0", 11));

  // An unplugged key is listed only when absent devices are asked for.
  std::ofstream(token_ + "/KEY2/device.conf") << "label = KEY2\npresent = 0\n";
  size = static_cast<ULONG>(buf.size());
  ASSERT_EQ(api_->EnumDev(TRUE, buf.data(), &size), SAR_OK);
  EXPECT_EQ(SplitNames(buf.data(), size), std::vector<std::string>{"KEY1"});
  size = static_cast<ULONG>(buf.size());
  ASSERT_EQ(api_->EnumDev(FALSE, buf.data(), &size), SAR_OK);
  EXPECT_EQ(SplitNames(buf.data(), size), (std::vector<std::string>{"KEY1", "KEY2"}));
  DEVHANDLE h = nullptr;
  EXPECT_EQ(api_->ConnectDev(dev2, &h), SAR_DEVICE_REMOVED);
}

TEST_F(SkfSessionTest, ConnectOpenAndDeviceInfo) {
  Provision();
  char bad[] = "../KEY1", missing[] = "NOKEY", key[] = "KEY1";
  DEVHANDLE h = nullptr;
  EXPECT_EQ(api_->ConnectDev(bad, &h), SAR_INVALIDPARAMERR);
  EXPECT_EQ(api_->ConnectDev(missing, &h), SAR_DEVICE_REMOVED);
  ASSERT_EQ(api_->ConnectDev(key, &h), SAR_OK);

  DEVINFO info;
  ASSERT_EQ(api_->GetDevInfo(h, &info), SAR_OK);
  EXPECT_STREQ(info.Label, "KEY1");
  EXPECT_EQ(info.SerialNumber[sizeof info.SerialNumber - 1], '\0');
  EXPECT_TRUE(info.AlgAsymCap & SGD_SM2_1);

  ULONG size = 0;
  ASSERT_EQ(api_->EnumApplication(h, nullptr, &size), SAR_OK);
  std::vector<char> apps(size);
  ASSERT_EQ(api_->EnumApplication(h, apps.data(), &size), SAR_OK);
  EXPECT_EQ(SplitNames(apps.data(), size), std::vector<std::string>{"APP1"});

  char app[] = "APP1", noapp[] = "APP9";
  HAPPLICATION a = nullptr;
  EXPECT_EQ(api_->OpenApplication(h, noapp, &a), SAR_APPLICATION_NOT_EXISTS);
  ASSERT_EQ(api_->OpenApplication(h, app, &a), SAR_OK);

  // Disconnecting closes the application: its handle is refused, not used.
  ASSERT_EQ(api_->DisConnectDev(h), SAR_OK);
  ULONG retries = 0;
  char pin[] = "12345678";
  EXPECT_EQ(api_->VerifyPIN(a, USER_TYPE, pin, &retries), SAR_INVALIDHANDLEERR);
  EXPECT_EQ(api_->DisConnectDev(h), SAR_INVALIDHANDLEERR);
  int local = 0;
  EXPECT_EQ(api_->EnumApplication(&local, nullptr, &size), SAR_INVALIDHANDLEERR);
}

TEST_F(SkfSessionTest, PinCounterCountsDownLocksAndPersists) {
  Provision();
  OpenApp(false);
  char wrong[] = "00000000", right[] = "12345678";
  ULONG retries = 99, max = 0, left = 0;

  EXPECT_EQ(api_->VerifyPIN(app_, USER_TYPE, wrong, &retries), SAR_PIN_INCORRECT);
  EXPECT_EQ(retries, 4u);
  EXPECT_EQ(api_->VerifyPIN(app_, USER_TYPE, wrong, &retries), SAR_PIN_INCORRECT);
  EXPECT_EQ(retries, 3u);
  EXPECT_EQ(api_->VerifyPIN(app_, 7, right, &retries), SAR_USER_TYPE_INVALID);

  // The count survives the library being unloaded and loaded again.
  Load(SKFAPI_SO);
  OpenApp(false);
  ASSERT_EQ(api_->GetPINInfo(app_, USER_TYPE, &max, &left, nullptr), SAR_OK);
  EXPECT_EQ(max, 5u);
  EXPECT_EQ(left, 3u);

  // The right PIN restores the full count.
  ASSERT_EQ(api_->VerifyPIN(app_, USER_TYPE, right, &retries), SAR_OK);
  ASSERT_EQ(api_->GetPINInfo(app_, USER_TYPE, &max, &left, nullptr), SAR_OK);
  EXPECT_EQ(left, 5u);

  for (ULONG expect = 4; expect > 0; --expect) {
    EXPECT_EQ(api_->VerifyPIN(app_, USER_TYPE, wrong, &retries), SAR_PIN_INCORRECT);
    EXPECT_EQ(retries, expect);
  }
  EXPECT_EQ(api_->VerifyPIN(app_, USER_TYPE, wrong, &retries), SAR_PIN_LOCKED);
  EXPECT_EQ(retries, 0u);
  retries = 99;
  EXPECT_EQ(api_->VerifyPIN(app_, USER_TYPE, right, &retries), SAR_PIN_LOCKED);
  EXPECT_EQ(retries, 0u);
  // A locked PIN leaves no security state behind.
  HCONTAINER c = Open("SM2");
  BYTE digest[32] = {1};
  ECCSIGNATUREBLOB sig;
  EXPECT_EQ(api_->ECCSignData(c, digest, 32, &sig), SAR_USER_NOT_LOGGED_IN);
  // The admin PIN has its own counter.
  char so[] = "87654321";
  EXPECT_EQ(api_->VerifyPIN(app_, ADMIN_TYPE, so, &retries), SAR_OK);

  // Provisioning again unlocks.
  char dev[] = "KEY1", app[] = "APP1";
  ASSERT_EQ(api_->InitApplication(dev, app, right, so, 5), SAR_OK);
  EXPECT_EQ(api_->VerifyPIN(app_, USER_TYPE, right, &retries), SAR_OK);
}

TEST_F(SkfSessionTest, ContainersCreateEnumAndOpen) {
  Provision();
  OpenApp(false);
  char fresh[] = "NEW", dots[] = "..", slash[] = "a/b", sm2[] = "SM2";
  HCONTAINER c = nullptr;
  EXPECT_EQ(api_->CreateContainer(app_, fresh, &c), SAR_USER_NOT_LOGGED_IN);
  char pin[] = "12345678";
  ULONG retries = 0;
  ASSERT_EQ(api_->VerifyPIN(app_, USER_TYPE, pin, &retries), SAR_OK);
  EXPECT_EQ(api_->CreateContainer(app_, sm2, &c), SAR_FILE_ALREADY_EXIST);
  EXPECT_EQ(c, nullptr);
  ASSERT_EQ(api_->CreateContainer(app_, fresh, &c), SAR_OK);
  EXPECT_EQ(api_->CreateContainer(app_, fresh, &c), SAR_FILE_ALREADY_EXIST);
  EXPECT_NE(api_->OpenContainer(app_, dots, &c), SAR_OK);
  EXPECT_NE(api_->CreateContainer(app_, slash, &c), SAR_OK);

  ULONG size = 0;
  ASSERT_EQ(api_->EnumContainer(app_, nullptr, &size), SAR_OK);
  EXPECT_EQ(size, 13u);  // "NEW\0RSA\0SM2\0\0"
  std::vector<char> list(size);
  ULONG small = 4;
  EXPECT_EQ(api_->EnumContainer(app_, list.data(), &small), SAR_BUFFER_TOO_SMALL);
  EXPECT_EQ(small, size);
  ASSERT_EQ(api_->EnumContainer(app_, list.data(), &size), SAR_OK);
  EXPECT_EQ(SplitNames(list.data(), size), (std::vector<std::string>{"NEW", "RSA", "SM2"}));

  HCONTAINER opened = Open("NEW");
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(api_->CloseContainer(opened), SAR_OK);
  EXPECT_EQ(api_->CloseContainer(opened), SAR_INVALIDHANDLEERR);
  char none[] = "NONE";
  EXPECT_EQ(api_->OpenContainer(app_, none, &c), SAR_FILE_NOT_EXIST);
}

TEST_F(SkfSessionTest, ExportCertificatesAndPublicKeys) {
  Provision();
  OpenApp(false);  // certificates and public keys need no PIN
  HCONTAINER c = Open("SM2");
  ULONG len = 0;
  ASSERT_EQ(api_->ExportCertificate(c, TRUE, nullptr, &len), SAR_OK);
  EXPECT_EQ(len, Sm2Sign().certDer.size());
  std::vector<BYTE> der(len);
  ULONG small = len - 1;
  EXPECT_EQ(api_->ExportCertificate(c, TRUE, der.data(), &small), SAR_BUFFER_TOO_SMALL);
  EXPECT_EQ(small, len);
  ASSERT_EQ(api_->ExportCertificate(c, TRUE, der.data(), &len), SAR_OK);
  EXPECT_EQ(der, Sm2Sign().certDer);

  ASSERT_EQ(api_->ExportCertificate(c, FALSE, nullptr, &len), SAR_OK);
  der.resize(len);
  ASSERT_EQ(api_->ExportCertificate(c, FALSE, der.data(), &len), SAR_OK);
  EXPECT_EQ(der, Sm2Enc().certDer);

  HCONTAINER r = Open("RSA");
  len = 4096;
  der.resize(len);
  EXPECT_EQ(api_->ExportCertificate(r, FALSE, der.data(), &len), SAR_CERTNOTFOUNTERR);

  // Public key blobs: coordinates right-aligned, big-endian.
  ECCPUBLICKEYBLOB ecc;
  len = sizeof ecc;
  ASSERT_EQ(api_->ExportPublicKey(c, TRUE, reinterpret_cast<BYTE*>(&ecc), &len), SAR_OK);
  EXPECT_EQ(ecc.BitLen, 256u);
  unsigned char point[65];
  size_t pointLen = 0;
  ASSERT_TRUE(EVP_PKEY_get_octet_string_param(Sm2Sign().PublicKey(), "encoded-pub-key", point,
                                              sizeof point, &pointLen));
  ASSERT_EQ(pointLen, 65u);
  EXPECT_EQ(std::vector<BYTE>(ecc.XCoordinate + 32, ecc.XCoordinate + 64),
            std::vector<BYTE>(point + 1, point + 33));
  EXPECT_EQ(std::vector<BYTE>(ecc.YCoordinate + 32, ecc.YCoordinate + 64),
            std::vector<BYTE>(point + 33, point + 65));
  EXPECT_EQ(std::vector<BYTE>(ecc.XCoordinate, ecc.XCoordinate + 32), std::vector<BYTE>(32, 0));

  RSAPUBLICKEYBLOB rsa;
  len = sizeof rsa;
  ASSERT_EQ(api_->ExportPublicKey(r, TRUE, reinterpret_cast<BYTE*>(&rsa), &len), SAR_OK);
  EXPECT_EQ(rsa.AlgID, static_cast<ULONG>(SGD_RSA));
  EXPECT_EQ(rsa.BitLen, 2048u);
  EXPECT_EQ(std::vector<BYTE>(rsa.PublicExponent, rsa.PublicExponent + 4),
            (std::vector<BYTE>{0, 1, 0, 1}));
}

TEST_F(SkfSessionTest, ProvisioningRefusesMismatchedPairsAndBadInput) {
  Provision();
  char dev[] = "KEY1", app[] = "APP1", container[] = "MIX", noapp[] = "APP9", pin[] = "123";
  std::string key = RsaSign().keyPem, cert = Sm2Sign().certPem;
  auto import = [&](char* a, std::string& k, std::string& c) {
    return api_->ImportKeyPair(dev, a, container, TRUE, reinterpret_cast<BYTE*>(k.data()),
                               k.size(), reinterpret_cast<BYTE*>(c.data()), c.size());
  };
  EXPECT_EQ(import(app, key, cert), SAR_KEYUSAGEERR);
  std::string junk = "not a key";
  EXPECT_EQ(import(app, junk, cert), SAR_INDATAERR);
  EXPECT_EQ(import(noapp, key, cert), SAR_APPLICATION_NOT_EXISTS);
  EXPECT_EQ(api_->InitApplication(dev, app, pin, pin, 5), SAR_PIN_LEN_RANGE);
  // A refused import leaves no empty container behind.
  OpenApp(false);
  HCONTAINER c = nullptr;
  EXPECT_EQ(api_->OpenContainer(app_, container, &c), SAR_FILE_NOT_EXIST);
}

}  // namespace
}  // namespace skftest
