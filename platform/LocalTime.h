// Local time of the current moment: the stand-in for time / localtime /
// FileTimeToLocalFileTime.
#pragma once

#include <ctime>
#include <string>

namespace tolmix::platform {

// Broken-down local time of T (localtime_r).
std::tm LocalTime(std::time_t t);

// T in local time by the UTC offset in force at NOW, not at T: the rule of
// FileTimeToLocalFileTime, which applies the present bias to any time.  In
// a zone with daylight saving a winter date read in summer moves by the
// summer offset.  Every date the control shows is read this way.
std::tm LocalTimeAtTodaysOffset(std::time_t t, std::time_t now);

// The C library's asctime text of the current local time without its final
// line feed: "Www Mmm dd hh:mm:ss yyyy" (24 characters).
std::string AsctimeNow();

// The same layout for TM: "Www Mmm dd hh:mm:ss yyyy", the day of the month
// right-aligned in two places, English names whatever the locale.
std::string FormatAsctime(const std::tm& tm);

}  // namespace tolmix::platform
