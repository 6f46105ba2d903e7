#include "platform/LocalTime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace tolmix::platform {
namespace {

std::string CAsctime(const std::tm& tm) {
  char buf[64];
  std::string s = asctime_r(&tm, buf);
  s.pop_back();  // its line feed
  return s;
}

TEST(LocalTimeTest, FormatMatchesCLibrary) {
  std::tm tm{};
  tm.tm_year = 2024 - 1900;
  tm.tm_mon = 2;
  tm.tm_mday = 5;
  tm.tm_hour = 7;
  tm.tm_min = 8;
  tm.tm_sec = 9;
  tm.tm_wday = 2;
  EXPECT_EQ(FormatAsctime(tm), "Tue Mar  5 07:08:09 2024");  // day right-aligned
  for (int day : {1, 9, 10, 31}) {
    tm.tm_mday = day;
    tm.tm_mon = day % 12;
    tm.tm_wday = day % 7;
    EXPECT_EQ(FormatAsctime(tm), CAsctime(tm));
  }
}

TEST(LocalTimeTest, UsesTimeZone) {
  const char* old = getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "UTC0", 1);
  tzset();
  EXPECT_EQ(FormatAsctime(LocalTime(0)), "Thu Jan  1 00:00:00 1970");
  setenv("TZ", "CST-8", 1);
  tzset();
  EXPECT_EQ(FormatAsctime(LocalTime(0)), "Thu Jan  1 08:00:00 1970");
  if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
}

TEST(LocalTimeTest, NowIsAsctimeWithoutLineFeed) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::time_t before = std::time(nullptr);
    std::string now = AsctimeNow();
    if (std::time(nullptr) != before) continue;  // the second changed under us
    std::tm tm{};
    localtime_r(&before, &tm);
    EXPECT_EQ(now, CAsctime(tm));
    EXPECT_EQ(now.size(), 24u);
    return;
  }
  FAIL() << "clock kept moving";
}

}  // namespace
}  // namespace tolmix::platform
