#include "platform/win32/PosixCompat.h"

#include <windows.h>

#include <cerrno>

extern "C" int flock(int fd, int operation) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (h == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return -1;
  }
  OVERLAPPED at{};
  BOOL ok;
  if (operation & LOCK_UN) {
    ok = UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &at);
  } else {
    DWORD flags = (operation & LOCK_EX) ? LOCKFILE_EXCLUSIVE_LOCK : 0;
    if (operation & LOCK_NB) flags |= LOCKFILE_FAIL_IMMEDIATELY;
    ok = LockFileEx(h, flags, 0, MAXDWORD, MAXDWORD, &at);
  }
  if (!ok) {
    errno = EWOULDBLOCK;
    return -1;
  }
  return 0;
}
