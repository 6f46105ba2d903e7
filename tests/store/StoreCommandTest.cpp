#include "host/StoreCommand.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "platform/SoftProvider.h"
#include "platform/Store.h"
#include "tests/chooser/TestCerts.h"

namespace tolmix::host {
namespace {

class StoreCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TOLMIX_STORE_DIR", (dir_.path() + "/s").c_str(), 1);
    cert_ = tolmix::testing::MakeX509(tolmix::testing::CertSpec().Cn("\xE5\xBC\xA0\xE4\xB8\x89"));  // 张三, UTF-8
    WritePem(Path("cert.pem"), [&](FILE* f) { PEM_write_X509(f, cert_.get()); });
    WritePem(Path("key.pem"), [&](FILE* f) {
      PEM_write_PrivateKey(f, tolmix::testing::SharedTestKey(), nullptr, nullptr, 0, nullptr,
                           nullptr);
    });
    other_key_.reset(EVP_RSA_gen(1024));
    WritePem(Path("other.pem"), [&](FILE* f) {
      PEM_write_PrivateKey(f, other_key_.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
  }
  void TearDown() override { unsetenv("TOLMIX_STORE_DIR"); }

  std::string Path(const char* name) const { return dir_.path() + "/" + name; }
  template <class F>
  void WritePem(const std::string& path, F write) {
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    write(f);
    fclose(f);
  }
  int Run(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    return RunStoreCommand(static_cast<int>(words.size()), argv.data());
  }

  tolmix::testing::TempDir dir_;
  ossl::Ptr<X509> cert_;
  ossl::Ptr<EVP_PKEY> other_key_;
};

TEST_F(StoreCommandTest, ImportsCertificateWithKeyAndListsIt) {
  // Provider and container names arrive as UTF-8 and are kept as GBK.
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(Run({"import", "--provider", "\xE8\xBD\xAF\xE4\xBB\xB6 CSP", "--container",
                 "c1", Path("cert.pem"), Path("key.pem")}),
            0);
  std::string thumbprint = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(thumbprint, platform::Thumbprint(tolmix::testing::ToDer(cert_.get())) + "\n");

  const std::string gbk_provider = "\xC8\xED\xBC\xFE CSP";  // 软件 CSP
  EXPECT_EQ(platform::ListSoftProviders(), std::vector<std::string>{gbk_provider});
  ossl::Ptr<EVP_PKEY> key(platform::ReadContainerKey(gbk_provider, "c1"));
  ASSERT_TRUE(key);
  std::vector<platform::StoreCertificate> certs;
  ASSERT_TRUE(platform::ReadMyStore(&certs));
  ASSERT_EQ(certs.size(), 1u);
  EXPECT_EQ(certs[0].provider, gbk_provider);
  EXPECT_EQ(certs[0].container, "c1");

  ::testing::internal::CaptureStdout();
  ASSERT_EQ(Run({"list"}), 0);
  std::string listing = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(listing.find("MY\t0\t" + thumbprint.substr(0, 40) +
                         "\t\xE5\xBC\xA0\xE4\xB8\x89\t\xE8\xBD\xAF\xE4\xBB\xB6 CSP\tc1\n"),
            std::string::npos)
      << listing;
  EXPECT_NE(listing.find("provider\t0\t\xE8\xBD\xAF\xE4\xBB\xB6 CSP\tc1\n"), std::string::npos);

  ASSERT_EQ(Run({"remove", thumbprint.substr(0, 40), "--with-key"}), 0);
  ASSERT_TRUE(platform::ReadMyStore(&certs));
  EXPECT_TRUE(certs.empty());
  EXPECT_EQ(platform::ReadContainerKey(gbk_provider, "c1"), nullptr);
}

// A certificate named with terminal escapes is listed with them escaped:
// the listing can neither clear the screen nor add lines or columns.
TEST_F(StoreCommandTest, ListEscapesControlCharactersOfNames) {
  ossl::Ptr<X509> evil =
      tolmix::testing::MakeX509(tolmix::testing::CertSpec().Cn("Evil\x1b[2J\x1b]0;PWNED\aName\tx\ny"));
  WritePem(Path("evil.pem"), [&](FILE* f) { PEM_write_X509(f, evil.get()); });
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(Run({"import", Path("evil.pem")}), 0);
  ASSERT_EQ(Run({"list"}), 0);
  std::string listing = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(listing.find("\tEvil\\x1B[2J\\x1B]0;PWNED\\x07Name\\x09x\\x0Ay\t"), std::string::npos)
      << listing;
  EXPECT_EQ(listing.find_first_of("\x1b\a"), std::string::npos);
  EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 3);  // store, thumbprint, MY
}

TEST_F(StoreCommandTest, RefusesMismatchesAndBadUsage) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run({"import", "--provider", "P", Path("cert.pem"), Path("other.pem")}), 1);
  EXPECT_EQ(Run({"import", Path("cert.pem"), Path("key.pem")}), 1);  // a key needs a provider
  EXPECT_EQ(Run({"import", Path("key.pem")}), 1);                     // not a certificate
  EXPECT_EQ(Run({"import", "--provider", "P", Path("cert.pem")}), 1);
  EXPECT_EQ(Run({"remove", std::string(40, 'A')}), 1);
  EXPECT_EQ(Run({"frobnicate"}), 2);
  EXPECT_EQ(Run({"import"}), 2);
  EXPECT_EQ(Run({}), 2);
  ::testing::internal::GetCapturedStderr();
  std::vector<platform::StoreCertificate> certs;
  ASSERT_TRUE(platform::ReadMyStore(&certs));
  EXPECT_TRUE(certs.empty());
  EXPECT_TRUE(platform::ListContainers("P").empty());
}

TEST_F(StoreCommandTest, ImportsDerWithoutKeyAndDefaultsTheContainer) {
  auto der = tolmix::testing::ToDer(cert_.get());
  FILE* f = fopen(Path("cert.der").c_str(), "wb");
  fwrite(der.data(), 1, der.size(), f);
  fclose(f);
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(Run({"import", Path("cert.der")}), 0);
  ASSERT_EQ(Run({"import", "--provider", "P", Path("cert.pem"), Path("key.pem")}), 0);
  ::testing::internal::GetCapturedStdout();
  std::vector<platform::StoreCertificate> certs;
  ASSERT_TRUE(platform::ReadMyStore(&certs));
  ASSERT_EQ(certs.size(), 1u);
  EXPECT_EQ(certs[0].container, platform::Thumbprint(der));
  EXPECT_EQ(platform::ListContainers("P"), std::vector<std::string>{platform::Thumbprint(der)});
}

}  // namespace
}  // namespace tolmix::host
