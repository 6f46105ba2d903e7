// The token directory of the soft SKF library: where devices, applications,
// containers, key pairs and certificates live between processes.
//
//   $TOLMIX_SKF_TOKEN_DIR            (default $XDG_DATA_HOME/tolmix-skf,
//                                     else ~/.local/share/tolmix-skf)
//     <device>/device.conf           marks a device: label, serial, present (0/1)
//     <device>/<application>/app.conf   PIN digests and retry counters (0600)
//     <device>/<application>/<container>/sign.crt, enc.crt   PEM certificates
//     <device>/<application>/<container>/sign.key, enc.key   PEM private keys (0600)
//
// Names are listed in byte order.  .conf files are "key = value" lines.
#pragma once

#include <string>
#include <vector>

#include "skf/skfapi.h"

namespace skfapi {

// Root of the token directory, without a trailing "/".  Read on every call,
// so a process (or a test) may switch tokens between calls.
std::string TokenDir();

// True when NAME may name a device, application or container: 1..64 bytes,
// no "/", no control character, not starting with ".".
bool ValidName(const char* name);

// Names of the subdirectories of DIR that hold a file MARKER (any
// subdirectory when MARKER is empty), in byte order.
std::vector<std::string> ListEntries(const std::string& dir, const char* marker);

// Writes NAMES as an SKF name list (each name NUL-ended, a second NUL at the
// end) into BUF of *SIZE bytes.  BUF null: only *SIZE is set.  BUF too
// small: SAR_BUFFER_TOO_SMALL with the size needed in *SIZE.
ULONG WriteNameList(const std::vector<std::string>& names, char* buf, ULONG* size);

bool IsDirectory(const std::string& path);
// Creates PATH and its missing parents with MODE; true when it is a folder.
bool MakeDirs(const std::string& path, unsigned mode);
bool IsFile(const std::string& path);
bool ReadFile(const std::string& path, std::string* out);
// Replaces PATH atomically with DATA, created with MODE (0600 for secrets).
bool WriteFileAtomic(const std::string& path, const std::string& data, unsigned mode);

// Value of KEY in a "key = value" text, or FALLBACK.
std::string ConfValue(const std::string& text, const char* key, const std::string& fallback);

// PIN state of one application, persisted in app.conf.
struct PinRecord {
  std::string digest;  // "<salt hex>:<sha256(salt || pin) hex>"
  ULONG maxRetries = 0;
  ULONG retriesLeft = 0;
};
struct AppRecord {
  PinRecord user;
  PinRecord admin;
};

// Reads / writes app.conf of the application folder APPDIR.
bool LoadApp(const std::string& appDir, AppRecord* rec);
bool SaveApp(const std::string& appDir, const AppRecord& rec);

// A new digest record for PIN with a fresh random salt.
std::string PinDigest(const char* pin);
// True when PIN matches DIGEST (constant-time comparison).
bool PinMatches(const std::string& digest, const char* pin);

// Holds an exclusive flock on a folder while it lives, so that processes
// sharing a token update a retry counter one at a time.
class DirLock {
 public:
  explicit DirLock(const std::string& dir);
  ~DirLock();
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace skfapi
