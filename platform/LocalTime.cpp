#include "platform/LocalTime.h"

#include <cstdio>

namespace tolmix::platform {
namespace {

constexpr char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

std::tm LocalTime(std::time_t t) {
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) tm = std::tm{};
  return tm;
}

std::tm LocalTimeAtTodaysOffset(std::time_t t, std::time_t now) {
  std::time_t shifted = t + static_cast<std::time_t>(LocalTime(now).tm_gmtoff);
  std::tm tm{};
  if (gmtime_r(&shifted, &tm) == nullptr) tm = std::tm{};
  return tm;
}

// The C standard's asctime layout ("%.3s %.3s%3d %.2d:%.2d:%.2d %d\n"),
// built here with fixed English names so that neither the shared static
// buffer of asctime nor the LC_TIME locale of strftime comes into play.
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
