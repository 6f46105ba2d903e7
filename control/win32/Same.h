// Same<To>(from): the bytes of one type as another of the same size, for
// the control's own GUIDs and DISPIDs as Windows' and back (their layouts
// are the same; the names differ).
#pragma once

#include <cstring>

namespace tolmix::win32 {

template <class To, class From>
To Same(const From& from) {
  static_assert(sizeof(To) == sizeof(From));
  To to;
  std::memcpy(&to, &from, sizeof to);
  return to;
}

}  // namespace tolmix::win32
