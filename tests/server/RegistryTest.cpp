#include "platform/Registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using tolmix::platform::EditRegistry;
using tolmix::platform::LoadRegistry;
using tolmix::platform::Registry;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Registry, KeysIgnoreCaseAndTreesGoWhole) {
  Registry reg;
  ASSERT_TRUE(reg.SetValue("CLSID\\{A}\\InprocServer32", "@", "/lib/a.so"));
  ASSERT_TRUE(reg.SetValue("CLSID\\{A}\\InprocServer32", "ThreadingModel", "Apartment"));
  ASSERT_TRUE(reg.SetValue("CLSID\\{A} 2", "@", "sibling"));
  ASSERT_TRUE(reg.SetValue("CLSID\\{A}x", "@", "sibling"));
  EXPECT_TRUE(reg.HasKey("clsid\\{a}"));  // made on the way
  ASSERT_NE(reg.GetValue("clsid\\{a}\\inprocserver32", "threadingmodel"), nullptr);
  EXPECT_EQ(reg.SubKeys("CLSID").size(), 3u);

  EXPECT_TRUE(reg.DeleteTree("CLSID\\{a}"));
  EXPECT_FALSE(reg.HasKey("CLSID\\{A}\\InprocServer32"));
  EXPECT_TRUE(reg.HasKey("CLSID\\{A} 2"));
  EXPECT_TRUE(reg.HasKey("CLSID\\{A}x"));
  EXPECT_FALSE(reg.DeleteTree("CLSID\\{A}"));

  // Values that would break the file form are refused.
  EXPECT_FALSE(reg.SetValue("K", "@", "two\nlines"));
  EXPECT_FALSE(reg.SetValue("K", "a=b", "x"));
  EXPECT_FALSE(reg.SetValue("K\\\\L", "@", "x"));
  EXPECT_FALSE(reg.SetValue("K]", "@", "x"));
}

TEST(Registry, FileFormRoundTripsAndDamageIsRefusedByLine) {
  Registry reg;
  ASSERT_TRUE(reg.SetValue("A\\B", "@", " spaced = value "));
  ASSERT_TRUE(reg.CreateKey("A\\Empty"));
  Registry back;
  std::string error;
  ASSERT_TRUE(back.Parse(reg.Serialize(), &error)) << error;
  ASSERT_NE(back.GetValue("A\\B"), nullptr);
  EXPECT_EQ(*back.GetValue("A\\B"), " spaced = value ");
  EXPECT_TRUE(back.HasKey("A\\Empty"));

  EXPECT_FALSE(back.Parse("[A]\n@=1\nno equals sign\n", &error));
  EXPECT_EQ(error.rfind("line 3:", 0), 0u) << error;
  EXPECT_FALSE(back.Parse("@=before any key\n", &error));
  EXPECT_FALSE(back.Parse("[unclosed\n", &error));
  ASSERT_NE(back.GetValue("A\\B"), nullptr) << "a refused text leaves the registry as it was";
}

class RegistryFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tolmix-registry-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/sub/registry.ini";
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::string dir_, path_;
};

TEST_F(RegistryFile, EditsAreWrittenWholeAndDamagedFilesAreLeftAlone) {
  Registry reg;
  std::string error;
  ASSERT_TRUE(LoadRegistry(path_, &reg, &error)) << "a missing file is an empty registry";
  EXPECT_FALSE(reg.HasKey("A"));

  ASSERT_TRUE(EditRegistry(path_, [](Registry& r) { return r.SetValue("A", "v", "1"); }, &error))
      << error;
  ASSERT_TRUE(LoadRegistry(path_, &reg, &error)) << error;
  ASSERT_NE(reg.GetValue("A", "v"), nullptr);

  // An edit that gives up changes nothing.
  std::string before = ReadFile(path_);
  EXPECT_FALSE(EditRegistry(path_, [](Registry& r) { return r.SetValue("B", "v", "\n"); }, &error));
  EXPECT_EQ(ReadFile(path_), before);

  // A damaged file is reported with its path and line and never rewritten.
  std::ofstream(path_, std::ios::app) << "garbage\n";
  before = ReadFile(path_);
  error.clear();
  EXPECT_FALSE(EditRegistry(path_, [](Registry& r) { return r.SetValue("B", "v", "2"); }, &error));
  EXPECT_NE(error.find(path_), std::string::npos) << error;
  EXPECT_NE(error.find("line "), std::string::npos) << error;
  EXPECT_EQ(ReadFile(path_), before);
  EXPECT_FALSE(LoadRegistry(path_, &reg, &error));
}

}  // namespace
