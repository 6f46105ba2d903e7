#include "platform/SoftProvider.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/Store.h"
#include "tests/chooser/TestCerts.h"

namespace tolmix::platform {
namespace {

class SoftProviderTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TOLMIX_STORE_DIR", (dir_.path() + "/s").c_str(), 1); }
  void TearDown() override { unsetenv("TOLMIX_STORE_DIR"); }
  tolmix::testing::TempDir dir_;
};

TEST(StoreNames, EncodeIsOneToOneAndPathSafe) {
  // GBK "软件" plus characters that must not reach a path unchanged.
  const std::string names[] = {"Tolmix Soft RSA Provider v1.0", "\xC8\xED\xBC\xFE", ".", "..",
                               "a/b", "%41", "A"};
  for (const std::string& n : names) {
    std::string enc = EncodeName(n), back;
    EXPECT_EQ(enc.find('/'), std::string::npos) << n;
    EXPECT_NE(enc.front(), '.') << n;
    ASSERT_TRUE(DecodeName(enc, &back)) << n;
    EXPECT_EQ(back, n);
  }
  EXPECT_NE(EncodeName("%41"), EncodeName("A"));
  std::string out;
  EXPECT_FALSE(DecodeName("%4", &out));
  EXPECT_FALSE(DecodeName("%4g", &out));
  EXPECT_FALSE(DecodeName("a b", &out));
  EXPECT_FALSE(IsValidStoreName(""));
  EXPECT_FALSE(IsValidStoreName(std::string("a\0b", 3)));
  EXPECT_FALSE(IsValidStoreName("a\tb"));
}

TEST_F(SoftProviderTest, EnumeratesInTheOrderOfAdding) {
  unsigned size = 0;
  EXPECT_FALSE(EnumSoftProvider(0, nullptr, &size));
  ASSERT_TRUE(AddSoftProvider("Zeta"));
  ASSERT_TRUE(AddSoftProvider("\xC8\xED\xBC\xFE"));
  ASSERT_TRUE(AddSoftProvider("Alpha"));
  ASSERT_TRUE(AddSoftProvider("Zeta"));  // already installed: no change
  EXPECT_FALSE(AddSoftProvider("bad\nname"));
  EXPECT_EQ(ListSoftProviders(),
            (std::vector<std::string>{"Zeta", "\xC8\xED\xBC\xFE", "Alpha"}));

  // CryptEnumProvidersA shape: size query, too small a buffer, the name.
  ASSERT_TRUE(EnumSoftProvider(2, nullptr, &size));
  EXPECT_EQ(size, 6u);
  char buf[16];
  unsigned small = 3;
  EXPECT_FALSE(EnumSoftProvider(2, buf, &small));
  EXPECT_EQ(small, 6u);
  unsigned big = sizeof buf;
  ASSERT_TRUE(EnumSoftProvider(2, buf, &big));
  EXPECT_STREQ(buf, "Alpha");
  EXPECT_FALSE(EnumSoftProvider(3, nullptr, &size));
}

TEST_F(SoftProviderTest, ReadsTheKeyOfAContainer) {
  EVP_PKEY* key = tolmix::testing::SharedTestKey();
  std::string error;
  EXPECT_FALSE(PutContainerKey("P", "c1", key, &error));  // provider not installed
  ASSERT_TRUE(AddSoftProvider("P"));
  ASSERT_TRUE(PutContainerKey("P", "c1", key));
  ASSERT_TRUE(PutContainerKey("P", "\xC8\xED", key));
  EXPECT_EQ(ListContainers("P"), (std::vector<std::string>{"c1", "\xC8\xED"}));  // bytewise

  ossl::Ptr<EVP_PKEY> read(ReadContainerKey("P", "c1", &error));
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(EVP_PKEY_eq(read.get(), key), 1);

  EXPECT_EQ(ReadContainerKey("P", "missing", &error), nullptr);
  EXPECT_EQ(ReadContainerKey("Q", "c1", &error), nullptr);
  EXPECT_EQ(ReadContainerKey("P", "", &error), nullptr);

  // A key readable by others is refused.
  chmod(ContainerKeyPath("P", "c1").c_str(), 0644);
  EXPECT_EQ(ReadContainerKey("P", "c1", &error), nullptr);
  EXPECT_NE(error.find("group or others"), std::string::npos);

  // A file without a key.
  std::ofstream(ContainerKeyPath("P", "junk")) << "junk";
  chmod(ContainerKeyPath("P", "junk").c_str(), 0600);
  EXPECT_EQ(ReadContainerKey("P", "junk", &error), nullptr);

  ASSERT_TRUE(RemoveContainerKey("P", "\xC8\xED"));
  EXPECT_FALSE(RemoveContainerKey("P", "\xC8\xED"));
  EXPECT_EQ(ReadContainerKey("P", "\xC8\xED"), nullptr);
}

}  // namespace
}  // namespace tolmix::platform
