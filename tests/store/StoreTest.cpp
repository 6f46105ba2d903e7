#include "platform/Store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/SoftProvider.h"
#include "tests/chooser/TestCerts.h"

namespace tolmix::platform {
namespace {

using tolmix::testing::CertSpec;
using tolmix::testing::MakeDer;

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TOLMIX_STORE_DIR", (dir_.path() + "/store").c_str(), 1); }
  void TearDown() override { unsetenv("TOLMIX_STORE_DIR"); }
  std::string Root() const { return dir_.path() + "/store"; }

  tolmix::testing::TempDir dir_;
};

TEST_F(StoreTest, MissingStoreIsEmptyAndOpens) {
  std::vector<StoreCertificate> certs(1);
  EXPECT_TRUE(ReadMyStore(&certs));
  EXPECT_TRUE(certs.empty());
  EXPECT_TRUE(ListSoftProviders().empty());
}

TEST_F(StoreTest, RootThatIsAFileCannotBeOpened) {
  std::ofstream(Root()) << "not a folder";
  std::vector<StoreCertificate> certs;
  std::string error;
  EXPECT_FALSE(ReadMyStore(&certs, &error));
  EXPECT_FALSE(error.empty());
}

TEST_F(StoreTest, KeepsImportOrderAndKeyProviderInformation) {
  auto a = MakeDer(CertSpec().Cn("A").Serial(1));
  auto b = MakeDer(CertSpec().Cn("B").Serial(2));
  auto c = MakeDer(CertSpec().Cn("C").Serial(3));
  std::string tb;
  ASSERT_TRUE(ImportToMy(b, "Prov", "cont-b", &tb));
  ASSERT_TRUE(ImportToMy(a, "", "", nullptr));
  ASSERT_TRUE(ImportToMy(c, "Prov", "cont-c", nullptr));
  EXPECT_EQ(tb, Thumbprint(b));
  EXPECT_EQ(tb.size(), 40u);

  std::vector<StoreCertificate> certs;
  ASSERT_TRUE(ReadMyStore(&certs));
  ASSERT_EQ(certs.size(), 3u);
  EXPECT_EQ(certs[0].der, b);
  EXPECT_EQ(certs[0].provider, "Prov");
  EXPECT_EQ(certs[0].container, "cont-b");
  EXPECT_EQ(certs[1].der, a);
  EXPECT_EQ(certs[1].provider, "");
  EXPECT_EQ(certs[2].der, c);

  // A re-import keeps the first place and takes the new key location.
  ASSERT_TRUE(ImportToMy(b, "Other", "x", nullptr));
  ASSERT_TRUE(ReadMyStore(&certs));
  ASSERT_EQ(certs.size(), 3u);
  EXPECT_EQ(certs[0].der, b);
  EXPECT_EQ(certs[0].provider, "Other");

  // Removal by thumbprint, in either case.
  std::string lower = tb;
  for (char& ch : lower) ch = static_cast<char>(tolower(ch));
  ASSERT_TRUE(RemoveFromMy(lower));
  EXPECT_FALSE(RemoveFromMy(lower));
  ASSERT_TRUE(ReadMyStore(&certs));
  ASSERT_EQ(certs.size(), 2u);
  EXPECT_EQ(certs[0].der, a);
  EXPECT_FALSE(std::filesystem::exists(Root() + "/MY/" + tb + ".cer"));
}

TEST_F(StoreTest, RefusesBadImports) {
  std::vector<unsigned char> garbage = {0x30, 0x03, 0x02, 0x01, 0x01};
  EXPECT_FALSE(ImportToMy(garbage, "", "", nullptr));
  auto der = MakeDer(CertSpec());
  auto trailing = der;
  trailing.push_back(0);
  EXPECT_FALSE(ImportToMy(trailing, "", "", nullptr));
  EXPECT_FALSE(ImportToMy(der, "P", "", nullptr));
  EXPECT_FALSE(ImportToMy(der, "P\n", "c", nullptr));
  std::vector<StoreCertificate> certs;
  ASSERT_TRUE(ReadMyStore(&certs));
  EXPECT_TRUE(certs.empty());
}

TEST_F(StoreTest, SkipsDamagedIndexLinesAndMissingFiles) {
  auto a = MakeDer(CertSpec().Cn("A").Serial(1));
  auto b = MakeDer(CertSpec().Cn("B").Serial(2));
  ASSERT_TRUE(ImportToMy(a, "", "", nullptr));
  ASSERT_TRUE(ImportToMy(b, "", "", nullptr));
  {
    std::ofstream index(Root() + "/MY/index", std::ios::app);
    index << "garbage line\n" << std::string(40, 'F') << "\t\t\n";  // no such file
  }
  std::filesystem::remove(Root() + "/MY/" + Thumbprint(a) + ".cer");
  std::vector<StoreCertificate> certs;
  ASSERT_TRUE(ReadMyStore(&certs));
  ASSERT_EQ(certs.size(), 1u);
  EXPECT_EQ(certs[0].der, b);
}

TEST_F(StoreTest, WritesOwnerOnlyFilesAndLeavesNoTemporaries) {
  ASSERT_TRUE(AddSoftProvider("P"));
  ASSERT_TRUE(PutContainerKey("P", "c", tolmix::testing::SharedTestKey()));
  ASSERT_TRUE(ImportToMy(MakeDer(CertSpec()), "P", "c", nullptr));
  ASSERT_TRUE(ImportToMy(MakeDer(CertSpec().Serial(9)), "P", "c", nullptr));
  for (const auto& e : std::filesystem::recursive_directory_iterator(Root())) {
    EXPECT_EQ(e.path().string().find(".tmp."), std::string::npos) << e.path();
    struct stat st {};
    ASSERT_EQ(stat(e.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << e.path();
  }
  struct stat st {};
  ASSERT_EQ(stat(ContainerKeyPath("P", "c").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(ProviderDir("P").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

}  // namespace
}  // namespace tolmix::platform
