// Token directory: paths, listings, atomic files and the PIN records.
#include "modules/SKFAPI/Token.h"

#include "platform/AtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace skfapi {
namespace {

const char* Env(const char* name) {
  const char* v = getenv(name);
  return (v && *v) ? v : nullptr;
}

std::string Hex(const unsigned char* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 15];
  }
  return out;
}

std::string Sha256Hex(const std::string& salt, const char* pin) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  std::string data = salt + pin;
  if (!EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr)) return "";
  return Hex(md, len);
}

std::string PinLines(const char* prefix, const PinRecord& r) {
  std::string p(prefix);
  return p + "_pin = " + r.digest + "\n" + p + "_retries_max = " + std::to_string(r.maxRetries) +
         "\n" + p + "_retries_left = " + std::to_string(r.retriesLeft) + "\n";
}

bool ParsePin(const std::string& text, const std::string& prefix, PinRecord* r) {
  r->digest = ConfValue(text, (prefix + "_pin").c_str(), "");
  std::string max = ConfValue(text, (prefix + "_retries_max").c_str(), "");
  std::string left = ConfValue(text, (prefix + "_retries_left").c_str(), "");
  if (r->digest.empty() || max.empty() || left.empty()) return false;
  r->maxRetries = static_cast<ULONG>(strtoul(max.c_str(), nullptr, 10));
  r->retriesLeft = static_cast<ULONG>(strtoul(left.c_str(), nullptr, 10));
  if (r->retriesLeft > r->maxRetries) r->retriesLeft = r->maxRetries;
  return true;
}

}  // namespace

std::string TokenDir() {
  std::string dir;
  if (const char* v = Env("TOLMIX_SKF_TOKEN_DIR")) {
    dir = v;
  } else if (const char* x = Env("XDG_DATA_HOME"); x && x[0] == '/') {
    dir = std::string(x) + "/tolmix-skf";
  } else {
    const char* home = Env("HOME");
    dir = std::string(home ? home : "/tmp") + "/.local/share/tolmix-skf";
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

bool ValidName(const char* name) {
  if (!name || !*name || name[0] == '.') return false;
  size_t n = strnlen(name, 65);
  if (n > 64) return false;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == '/' || c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeDirs(const std::string& path, unsigned mode) {
  if (path.empty() || IsDirectory(path)) return !path.empty();
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash), mode)) {
    return false;
  }
  return mkdir(path.c_str(), mode) == 0 || IsDirectory(path);
}

bool IsFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::vector<std::string> ListEntries(const std::string& dir, const char* marker) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    if (!ValidName(e->d_name)) continue;
    std::string path = dir + "/" + e->d_name;
    if (!IsDirectory(path)) continue;
    if (marker && *marker && !IsFile(path + "/" + marker)) continue;
    names.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

ULONG WriteNameList(const std::vector<std::string>& names, char* buf, ULONG* size) {
  if (!size) return SAR_INVALIDPARAMERR;
  size_t need = 1;
  for (const auto& n : names) need += n.size() + 1;
  if (!buf) {
    *size = static_cast<ULONG>(need);
    return SAR_OK;
  }
  if (*size < need) {
    *size = static_cast<ULONG>(need);
    return SAR_BUFFER_TOO_SMALL;
  }
  char* p = buf;
  for (const auto& n : names) {
    memcpy(p, n.c_str(), n.size() + 1);
    p += n.size() + 1;
  }
  *p = '\0';
  *size = static_cast<ULONG>(need);
  return SAR_OK;
}

bool ReadFile(const std::string& path, std::string* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->clear();
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
  close(fd);
  return n == 0;
}

bool WriteFileAtomic(const std::string& path, const std::string& data, unsigned mode) {
  std::string error;
  return tolmix::platform::WriteFileAtomic(path, data, mode, &error);
}

std::string ConfValue(const std::string& text, const char* key, const std::string& fallback) {
  size_t pos = 0;
  const size_t keyLen = strlen(key);
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.compare(0, keyLen, key) != 0) continue;
    size_t i = keyLen;
    while (i < line.size() && line[i] == ' ') ++i;
    if (i >= line.size() || line[i] != '=') continue;
    ++i;
    while (i < line.size() && line[i] == ' ') ++i;
    size_t j = line.size();
    while (j > i && (line[j - 1] == ' ' || line[j - 1] == '\r')) --j;
    return line.substr(i, j - i);
  }
  return fallback;
}

bool LoadApp(const std::string& appDir, AppRecord* rec) {
  std::string text;
  if (!ReadFile(appDir + "/app.conf", &text)) return false;
  return ParsePin(text, "user", &rec->user) && ParsePin(text, "admin", &rec->admin);
}

bool SaveApp(const std::string& appDir, const AppRecord& rec) {
  std::string text = "# soft SKF application: PIN digests (salt:sha256) and retry counters\n";
  text += PinLines("user", rec.user);
  text += PinLines("admin", rec.admin);
  return WriteFileAtomic(appDir + "/app.conf", text, 0600);
}

std::string PinDigest(const char* pin) {
  unsigned char salt[16];
  if (RAND_bytes(salt, sizeof salt) != 1) return "";
  std::string s = Hex(salt, sizeof salt);
  std::string h = Sha256Hex(s, pin);
  return h.empty() ? "" : s + ":" + h;
}

bool PinMatches(const std::string& digest, const char* pin) {
  size_t colon = digest.find(':');
  if (colon == std::string::npos || !pin) return false;
  std::string want = digest.substr(colon + 1);
  std::string got = Sha256Hex(digest.substr(0, colon), pin);
  return !got.empty() && got.size() == want.size() &&
         CRYPTO_memcmp(got.data(), want.data(), got.size()) == 0;
}

DirLock::DirLock(const std::string& dir) {
  fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // Where a folder cannot be opened as a file (Windows), a lock file in it
  // stands for the folder.
  if (fd_ < 0) fd_ = open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ >= 0) flock(fd_, LOCK_EX);
}

DirLock::~DirLock() {
  if (fd_ >= 0) close(fd_);  // closing drops the lock
}

}  // namespace skfapi
