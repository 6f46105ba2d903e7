// CEngineLog: the bytes of a "keyapi.log" record, and that the logger only
// appends to a file that exists.
#include "engine/EngineLog.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <string>

#include "tests/engine/EngineTestEnv.h"

namespace tolmix {
namespace {

constexpr char kTimeLabel[] = "\xCA\xB1\xBC\xE4\xA3\xBA";             // "时间："
constexpr char kFileLabel[] = " \xCE\xC4\xBC\xFE\xC3\xFB\xA3\xBA";    // " 文件名："
constexpr char kFunctionLabel[] = " \xBA\xAF\xCA\xFD\xA3\xBA";        // " 函数："
constexpr char kLineLabel[] = " \xD0\xD0\xBA\xC5\xA3\xBA";            // " 行号："
const size_t kTimeLabelLen = sizeof kTimeLabel - 1;
constexpr size_t kAsctimeLen = 24;

// The record after its time text, as it reaches the disk.
std::string Tail(const std::string& file, const std::string& function, int line,
                 const std::string& rest) {
  return std::string(kFileLabel) + file + kFunctionLabel + function + kLineLabel +
         std::to_string(line) + "--" + rest;
}

// True for the C asctime layout without its LF: "Www Mmm dd hh:mm:ss yyyy".
bool IsAsctime(const std::string& t) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (t.size() != kAsctimeLen) return false;
  auto digit = [&](size_t i) { return t[i] >= '0' && t[i] <= '9'; };
  bool day = false, month = false;
  for (const char* d : kDays) day = day || t.compare(0, 3, d) == 0;
  for (const char* m : kMonths) month = month || t.compare(4, 3, m) == 0;
  return day && month && t[3] == ' ' && t[7] == ' ' && (t[8] == ' ' || digit(8)) && digit(9) &&
         t[10] == ' ' && digit(11) && digit(12) && t[13] == ':' && digit(14) && digit(15) &&
         t[16] == ':' && digit(17) && digit(18) && t[19] == ' ' && digit(20) && digit(21) &&
         digit(22) && digit(23);
}

class EngineLogTest : public test::LogDirTest {
 protected:
  // Splits the single record in the log into its time text and the rest.
  void ExpectOneRecord(const std::string& tail) {
    const std::string log = ReadLog();
    ASSERT_GE(log.size(), kTimeLabelLen + kAsctimeLen);
    EXPECT_EQ(log.substr(0, kTimeLabelLen), kTimeLabel);
    const std::string time = log.substr(kTimeLabelLen, kAsctimeLen);
    EXPECT_TRUE(IsAsctime(time)) << time;
    EXPECT_EQ(log.substr(kTimeLabelLen + kAsctimeLen), tail);
  }
};

TEST_F(EngineLogTest, PathIsLogDirAndFileName) {
  CEngineLog log("keyapi.log");
  EXPECT_EQ(log.Path(), LogPath());
}

TEST_F(EngineLogTest, DigestFailureRecord) {
  CreateLog();
  CEngineLog log("keyapi.log");
  log.WriteNumber("EVP_DigestFinal_ex failed  ", 3, "D:\\src\\engine\\Digest.cpp", "", 217);
  // Empty function: " 函数：" runs straight into " 行号：".
  ExpectOneRecord(Tail("Digest.cpp", "", 217, "EVP_DigestFinal_ex failed   3\r\n"));
}

TEST_F(EngineLogTest, PayloadForms) {
  struct Case {
    const char* payload;
    const char* expected;  // after "--msg"
  } cases[] = {
      {"", " \r\n"},          // the blank before the line end is always there
      {nullptr, " \r\n"},     // null payload: no bytes, same record
      {"a\nb\n", " a\r\nb\r\n\r\n"},  // LF inside the payload becomes CR LF too
      {"x\r\ny", " x\r\r\ny"  "\r\n"},  // as a text-mode stream: CR kept, LF expanded
  };
  for (const Case& c : cases) {
    std::filesystem::remove(LogPath());
    CreateLog();
    CEngineLog log("keyapi.log");
    log.WriteText("msg", c.payload, "f.cpp", "fn", 1);
    ExpectOneRecord(Tail("f.cpp", "fn", 1, std::string("msg") + c.expected));
  }
}

TEST_F(EngineLogTest, BinaryPayloadKeepsEveryByte) {
  CreateLog();
  CEngineLog log("keyapi.log");
  const unsigned char data[] = {0x00, 0xFF, 0x0A, 0x41};
  log.WriteData("bin", data, sizeof data, "f.cpp", "", 9);
  ExpectOneRecord(Tail("f.cpp", "", 9, std::string("bin \0\xFF\r\nA\r\n", 11)));
}

TEST_F(EngineLogTest, SourcePathShownFromLastSeparator) {
  struct Case {
    const char* path;
    const char* shown;
  } cases[] = {
      {"C:\\a/b\\c.cpp", "c.cpp"},
      {"/a\\b/c.cpp", "c.cpp"},
      {"a/b\\", ""},
      {"plain.cpp", "plain.cpp"},
      {nullptr, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CEngineLog::BuildRecord("T", "m", nullptr, 0, c.path, "", 5),
              std::string(kTimeLabel) + "T" + Tail(c.shown, "", 5, "m \n"))
        << (c.path ? c.path : "(null)");
  }
}

TEST_F(EngineLogTest, NumbersInDecimal) {
  struct Case {
    int64_t number;
    const char* text;
  } cases[] = {
      {0, "0"},
      {-5, "-5"},
      {static_cast<int64_t>(static_cast<int32_t>(0x80000000u)), "-2147483648"},
      {1234567890123LL, "1234567890123"},
      {INT64_MIN, "-9223372036854775808"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(LogPath());
    CreateLog();
    CEngineLog log("keyapi.log");
    log.WriteNumber("n", c.number, "f.cpp", "", -1);
    ExpectOneRecord(Tail("f.cpp", "", -1, std::string("n ") + c.text + "\r\n"));
  }
}

TEST_F(EngineLogTest, RecordsAppend) {
  CreateLog();
  CEngineLog log("keyapi.log");
  log.WriteText("one", "1", "f.cpp", "", 1);
  log.WriteText("two", "2", "f.cpp", "", 2);
  const std::string content = ReadLog();
  const size_t second = content.find(kTimeLabel, 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_NE(content.find("--one 1\r\n"), std::string::npos);
  EXPECT_EQ(content.substr(content.size() - 9), "--two 2\r\n");
}

TEST_F(EngineLogTest, MissingFileIsNeverCreated) {
  CEngineLog log("keyapi.log");
  log.WriteText("msg", "payload", "f.cpp", "", 1);
  log.WriteNumber("msg", 7, "f.cpp", "", 1);
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
  EXPECT_TRUE(std::filesystem::is_empty(dir_));

  // A dangling symbolic link is not followed into a new file either.
  std::filesystem::create_symlink(dir_ + "/target.log", LogPath());
  log.WriteText("msg", "payload", "f.cpp", "", 1);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/target.log"));
}

TEST_F(EngineLogTest, UnwritablePathsAreSilent) {
  std::filesystem::create_directory(LogPath());  // a folder where the file would be
  CEngineLog log("keyapi.log");
  log.WriteText("msg", "payload", "f.cpp", "", 1);
  EXPECT_TRUE(std::filesystem::is_empty(LogPath()));

  std::filesystem::remove(LogPath());
  ASSERT_EQ(mkfifo(LogPath().c_str(), 0600), 0);  // no reader: must not block
  log.WriteText("msg", "payload", "f.cpp", "", 1);
}

TEST_F(EngineLogTest, CallSiteMacrosPassFileAndLine) {
  CreateLog();
  CEngineLog log("keyapi.log");
  const int line = __LINE__ + 1;
  TOLMIX_LOG_NUMBER(&log, "digest failed: unknown digest mech...", -3);
  ExpectOneRecord(
      Tail("EngineLogTest.cpp", "", line, "digest failed: unknown digest mech... -3\r\n"));

  CEngineLog* none = nullptr;
  TOLMIX_LOG_TEXT(none, "skipped", "x");  // no logger: nothing happens
}

}  // namespace
}  // namespace tolmix
