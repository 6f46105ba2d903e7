#include "util/IniReader.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tolmix {
namespace {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/tolmix-ini-XXXXXX";
    path_ = mkdtemp(tmpl) ? tmpl : "";
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (!path_.empty()) (void)!system(cmd.c_str());
  }
  std::string Write(const std::string& name, const std::string& content) const {
    std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct IniCase {
  const char* name;
  std::string content;
  const char* section;
  const char* key;
  std::string expected;  // "dflt" when the default must win
};

void PrintTo(const IniCase& c, std::ostream* os) { *os << c.name; }

class IniReadTest : public ::testing::TestWithParam<IniCase> {};

TEST_P(IniReadTest, ReadsValueOrDefault) {
  const IniCase& c = GetParam();
  TempDir dir;
  std::string path = dir.Write("t.ini", c.content);
  char out[1024];
  memset(out, 'Z', sizeof out);
  int n = ReadIniString(c.section, c.key, "dflt", out, sizeof out, path.c_str());
  EXPECT_EQ(std::string(out), c.expected);
  EXPECT_EQ(n, static_cast<int>(c.expected.size()));
}

const std::string kLong511 = "Comment=" + std::string(503, 'x');  // exactly 511 bytes

INSTANTIATE_TEST_SUITE_P(
    Cases, IniReadTest,
    ::testing::Values(
        IniCase{"LowerCaseWithBlanks", "[devicecount]\n  devicecount  =  3  \n", "DeviceCount",
                "DeviceCount", "3"},
        IniCase{"BlanksInsideBrackets", "[ DeviceCount ]\nDeviceCount=3\n", "DeviceCount",
                "DeviceCount", "dflt"},
        IniCase{"TextAfterHeader", "[Device_1] ; first\nDLLName=a.so\n", "Device_1", "DLLName",
                "a.so"},
        IniCase{"QuotedKeepsInnerBlanks", "[Device_1]\nDLLName = \"  my lib.so \"  \n",
                "Device_1", "DLLName", "  my lib.so "},
        IniCase{"LoneQuote", "[Device_1]\nDLLName=\"\n", "Device_1", "DLLName", ""},
        IniCase{"EmptyValueBeatsDefault", "[Device_1]\nDLLName=\n", "Device_1", "DLLName", ""},
        IniCase{"ColonSeparator", "[Device_1]\nDLLName : lib.so\n", "Device_1", "DLLName",
                "lib.so"},
        IniCase{"EqualsWinsOverEarlierColon", "[Device_1]\nDLLName:x=lib.so\n", "Device_1",
                "DLLName", "dflt"},
        IniCase{"ColonInsideValue", "[Device_1]\nDLLName=c:/lib.so\n", "Device_1", "DLLName",
                "c:/lib.so"},
        IniCase{"OnlyFirstSectionSearched",
                "[Device_1]\nOther=1\n[Device_2]\nDLLName=b\n[device_1]\nDLLName=a\n", "Device_1",
                "DLLName", "dflt"},
        IniCase{"SectionEndsAtNextHeader", "[S]\n  [T\nDLLName=a\n", "S", "DLLName", "dflt"},
        IniCase{"Comments", "[S]\n;DLLName=a\n  #DLLName=b\nDLLName=c\n", "S", "DLLName", "c"},
        IniCase{"TabIndentedKey", "[S]\n\tDLLName=a\n", "S", "DLLName", "dflt"},
        IniCase{"KeyPrefixDoesNotMatch", "[S]\nDLLNameX=a\nDLL=b\n", "S", "DLLName", "dflt"},
        IniCase{"CrLfLineEnds", "[S]\r\nDLLName = a.so \r\n", "S", "DLLName", "a.so"},
        IniCase{"LastLineWithoutLf", "[S]\nDLLName=end.so  ", "S", "DLLName", "end.so"},
        IniCase{"EmptySectionReadsTop", "DLLName=top\n[S]\nDLLName=s\n", "", "DLLName", "top"},
        IniCase{"MissingSection", "[S]\nDLLName=s\n", "T", "DLLName", "dflt"},
        // A 511-byte read ends the first "line"; the rest of the physical line
        // is read as a line of its own.
        IniCase{"LongLineContinues", "[S]\n" + kLong511 + "DLLName=tail\n", "S", "DLLName",
                "tail"},
        IniCase{"LongValueCutAtRead", "[S]\nDLLName=" + std::string(600, 'v') + "\n", "S",
                "DLLName", std::string(511 - 8, 'v')}),
    [](const ::testing::TestParamInfo<IniCase>& i) { return std::string(i.param.name); });

TEST(IniReaderTest, CutsValueAndDefaultToSize) {
  TempDir dir;
  std::string path = dir.Write("t.ini", "[S]\nDLLName=" + std::string(300, 'a') + "\n");
  char out[256];
  EXPECT_EQ(ReadIniString("S", "DLLName", "", out, sizeof out, path.c_str()), 255);
  EXPECT_EQ(std::string(out), std::string(255, 'a'));

  char small[4];
  EXPECT_EQ(ReadIniString("S", "Missing", "default", small, sizeof small, path.c_str()), 3);
  EXPECT_STREQ(small, "def");
  EXPECT_EQ(ReadIniString("S", "Missing", nullptr, small, sizeof small, path.c_str()), 0);
  EXPECT_STREQ(small, "");
  EXPECT_EQ(ReadIniString("S", "DLLName", "x", small, sizeof small, "/nonexistent/t.ini"), 1);
  EXPECT_STREQ(small, "x");
}

TEST(IniReaderTest, RefusedCallsTouchNothing) {
  TempDir dir;
  std::string path = dir.Write("t.ini", "[S]\nK=v\n");
  char out[8] = "keepme";
  EXPECT_EQ(ReadIniString("S", "K", "d", nullptr, 8, path.c_str()), 0);
  EXPECT_EQ(ReadIniString("S", "K", "d", out, 0, path.c_str()), 0);
  EXPECT_EQ(ReadIniString("S", "K", "d", out, -5, path.c_str()), 0);
  EXPECT_EQ(ReadIniString("S", nullptr, "d", out, sizeof out, path.c_str()), 0);
  EXPECT_STREQ(out, "keepme");
}

TEST(DeviceListTest, StopsAtFirstMissingSection) {
  TempDir dir;
  std::string path = dir.Write(
      "GM_SKF.ini",
      "[DeviceCount]\nDeviceCount=4\n[Device_1]\nDLLName=one.so\n[Device_2]\nDLLName=two.so\n"
      "[Device_4]\nDLLName=four.so\n");
  EXPECT_EQ(ReadDeviceListFile(path.c_str()), (std::vector<std::string>{"one.so", "two.so"}));
}

TEST(DeviceListTest, EmptyNameEndsListAndCountLimits) {
  TempDir dir;
  std::string a = dir.Write("a.ini",
                            "[DeviceCount]\nDeviceCount=3\n[Device_1]\nDLLName=one.so\n"
                            "[Device_2]\nDLLName=\n[Device_3]\nDLLName=three.so\n");
  EXPECT_EQ(ReadDeviceListFile(a.c_str()), (std::vector<std::string>{"one.so"}));
  std::string b = dir.Write("b.ini",
                            "[DeviceCount]\nDeviceCount=1\n[Device_1]\nDLLName=one.so\n"
                            "[Device_2]\nDLLName=two.so\n");
  EXPECT_EQ(ReadDeviceListFile(b.c_str()), (std::vector<std::string>{"one.so"}));
}

TEST(DeviceListTest, NoDevicesForBadCount) {
  TempDir dir;
  const char* devices = "[Device_1]\nDLLName=one.so\n";
  for (const char* count : {"0", "-2", "abc", "", "99999999999999"}) {
    std::string p = dir.Write("c.ini", std::string("[DeviceCount]\nDeviceCount=") + count +
                                           "\n" + devices);
    std::vector<std::string> want;
    if (strcmp(count, "99999999999999") == 0) want = {"one.so"};
    EXPECT_EQ(ReadDeviceListFile(p.c_str()), want) << count;
  }
  std::string noCount = dir.Write("d.ini", devices);
  EXPECT_TRUE(ReadDeviceListFile(noCount.c_str()).empty());
  EXPECT_TRUE(ReadDeviceListFile((dir.path() + "/missing.ini").c_str()).empty());
}

TEST(DeviceListTest, ReadsFromSystemDir) {
  TempDir dir;
  dir.Write("P11_SKF.ini", "[DeviceCount]\nDeviceCount=1\n[Device_1]\nDLLName=libsofthsm2.so\n");
  EXPECT_EQ(SystemFilePath(dir.path(), kP11DeviceListFile), dir.path() + "/P11_SKF.ini");
  EXPECT_EQ(ReadDeviceList(dir.path(), kP11DeviceListFile),
            (std::vector<std::string>{"libsofthsm2.so"}));
  EXPECT_TRUE(ReadDeviceList(dir.path(), kSkfDeviceListFile).empty());
}

}  // namespace
}  // namespace tolmix

namespace tolmix {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The device lists the package installs, as shipped and as an administrator
// edits them by following their own comments.
TEST(DeviceListTest, PackagedListsReadAsTheirCommentsSay) {
  const std::string etc = TOLMIX_TEST_DATA_DIR "/../../packaging/etc";
  TempDir dir;
  std::string gm = ReadText(etc + "/GM_SKF.ini");
  ASSERT_NE(gm.find("; [Device_1]\n; DLLName=vendor_skf.so\n"), std::string::npos) << gm;
  std::string edited = gm;
  edited.replace(edited.find("DeviceCount=0"), 13, "DeviceCount=1");
  for (const char* line : {"[Device_1]\n", "DLLName=vendor_skf.so\n"}) {
    edited.erase(edited.find(std::string("; ") + line), 2);
  }
  struct Case {
    std::string path;
    std::vector<std::string> expected;
  } cases[] = {
      {etc + "/P11_SKF.ini", {"p11-kit-proxy.so"}},
      {etc + "/GM_SKF.ini", {}},
      {dir.Write("GM_SKF.ini", edited), {"vendor_skf.so"}},
      // Windows line ends, as a file edited there arrives.
      {dir.Write("crlf.ini", [&] {
         std::string crlf;
         for (char c : edited) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
         return crlf;
       }()),
       {"vendor_skf.so"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadDeviceListFile(c.path.c_str()), c.expected) << c.path;
  }
}

}  // namespace
}  // namespace tolmix
