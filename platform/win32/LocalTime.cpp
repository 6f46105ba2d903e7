// Local time through the C runtime of Windows (localtime_s / gmtime_s);
// the present UTC offset is the difference of the local and the UTC form
// of now, as FileTimeToLocalFileTime applies it.
#include "platform/LocalTime.h"

#include <cstdio>

namespace tolmix::platform {
namespace {

constexpr char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::tm Utc(std::time_t t) {
  std::tm tm{};
  if (gmtime_s(&tm, &t) != 0) tm = std::tm{};
  return tm;
}

}  // namespace

std::tm LocalTime(std::time_t t) {
  std::tm tm{};
  if (localtime_s(&tm, &t) != 0) tm = std::tm{};
  return tm;
}

std::tm LocalTimeAtTodaysOffset(std::time_t t, std::time_t now) {
  std::tm local = LocalTime(now);
  const std::time_t offset = _mkgmtime(&local) - now;
  return Utc(t + offset);
}

std::string FormatAsctime(const std::tm& tm) {
  const char* day = (tm.tm_wday >= 0 && tm.tm_wday < 7) ? kDays[tm.tm_wday] : "???";
  const char* mon = (tm.tm_mon >= 0 && tm.tm_mon < 12) ? kMonths[tm.tm_mon] : "???";
  char buf[64];
  int n = snprintf(buf, sizeof buf, "%.3s %.3s%3d %.2d:%.2d:%.2d %ld", day, mon, tm.tm_mday,
                   tm.tm_hour, tm.tm_min, tm.tm_sec, 1900L + tm.tm_year);
  if (n < 0) return std::string();
  return std::string(buf, n < static_cast<int>(sizeof buf) ? static_cast<size_t>(n)
                                                             : sizeof buf - 1);
}

std::string AsctimeNow() { return FormatAsctime(LocalTime(std::time(nullptr))); }

}  // namespace tolmix::platform
