// The few POSIX names the shared sources use that the Windows C runtime
// spells differently or lacks, included ahead of every source of the
// Windows build (CMake), so that the callers stay one source for both
// platforms.  Flags without a Windows meaning are 0; close-on-exec is
// "not inherited".
#pragma once

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#ifndef O_CLOEXEC
#define O_CLOEXEC (_O_NOINHERIT | _O_BINARY)
#endif
#ifndef O_DIRECTORY
#define O_DIRECTORY 0
#endif
#ifndef O_NOCTTY
#define O_NOCTTY 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif
#define getc_unlocked _getc_nolock
#define timegm _mkgmtime
// mkdir(PATH, MODE): folders take the permissions of their parent.
#define mkdir(path, mode) _mkdir(path)
#define fsync _commit
// Files take the permissions of their folder.
static inline int fchmod(int, unsigned) { return 0; }

#ifdef __cplusplus
extern "C" {
#endif
// flock(FD, LOCK_EX | LOCK_UN) over LockFileEx on the whole file.
#define LOCK_SH 1
#define LOCK_EX 2
#define LOCK_NB 4
#define LOCK_UN 8
int flock(int fd, int operation);
#ifdef __cplusplus
}
#endif
