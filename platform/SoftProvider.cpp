// Read side of the soft providers.  Only libc, OpenSSL and platform/Env.h:
// the "capi" engine module compiles this file into itself.
#include "platform/SoftProvider.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/Env.h"

namespace tolmix::platform {
namespace {

void SetError(std::string* error, const char* text) {
  if (error) *error = text;
}

bool KeepsByte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '_';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower case is never written, so it is not accepted either
}

// Reads a whole small text file; false when it cannot be opened or read.
bool ReadSmallFile(const std::string& path, std::string* out) {
  out->clear();
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

// Keys are stored unencrypted; an encrypted one is refused instead of
// letting OpenSSL's default callback prompt on the terminal.
int NoPassword(char*, int, int, void*) { return 0; }

struct BioFree {
  void operator()(BIO* b) const noexcept { BIO_free(b); }
};

}  // namespace

bool IsValidStoreName(std::string_view name) {
  if (name.empty()) return false;
  return name.find_first_of(std::string_view("\0\t\r\n", 4)) == std::string_view::npos;
}

std::string EncodeName(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size() * 3);
  for (unsigned char c : name) {
    if (KeepsByte(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

bool DecodeName(std::string_view encoded, std::string* out) {
  out->clear();
  for (size_t i = 0; i < encoded.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(encoded[i]);
    if (c == '%') {
      if (i + 2 >= encoded.size()) {
        out->clear();
        return false;
      }
      int hi = HexValue(encoded[i + 1]), lo = HexValue(encoded[i + 2]);
      if (hi < 0 || lo < 0) {
        out->clear();
        return false;
      }
      out->push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else if (KeepsByte(c)) {
      out->push_back(static_cast<char>(c));
    } else {
      out->clear();
      return false;
    }
  }
  return true;
}

std::string ProviderDir(std::string_view provider) {
  return StoreDir() + "/" + kProvidersDirName + "/" + EncodeName(provider);
}

std::string ContainerKeyPath(std::string_view provider, std::string_view container) {
  return ProviderDir(provider) + "/" + EncodeName(container) + kKeyFileSuffix;
}

std::vector<std::string> ListSoftProviders() {
  std::vector<std::string> names;
  std::string text;
  if (!ReadSmallFile(StoreDir() + "/" + kProvidersIndexName, &text)) return names;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string name;
    std::string_view line(text.data() + pos, end - pos);
    if (!line.empty() && DecodeName(line, &name) && IsValidStoreName(name) &&
        std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(std::move(name));
    }
    pos = end + 1;
  }
  return names;
}

bool EnumSoftProvider(unsigned index, char* name, unsigned* size) {
  if (!size) return false;
  std::vector<std::string> names = ListSoftProviders();
  if (index >= names.size()) return false;
  const std::string& n = names[index];
  unsigned needed = static_cast<unsigned>(n.size() + 1);
  if (!name) {
    *size = needed;
    return true;
  }
  if (*size < needed) {
    *size = needed;
    return false;
  }
  memcpy(name, n.c_str(), needed);
  *size = needed;
  return true;
}

std::vector<std::string> ListContainers(std::string_view provider) {
  std::vector<std::string> names;
  if (!IsValidStoreName(provider)) return names;
  DIR* dir = opendir(ProviderDir(provider).c_str());
  if (!dir) return names;
  const size_t suffix = strlen(kKeyFileSuffix);
  while (dirent* e = readdir(dir)) {
    std::string_view file(e->d_name);
    if (file.size() <= suffix || file.substr(file.size() - suffix) != kKeyFileSuffix) continue;
    std::string name;
    if (DecodeName(file.substr(0, file.size() - suffix), &name) && IsValidStoreName(name)) {
      names.push_back(std::move(name));
    }
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

EVP_PKEY* ReadContainerKey(std::string_view provider, std::string_view container,
                           std::string* error) {
  if (!IsValidStoreName(provider) || !IsValidStoreName(container)) {
    SetError(error, "invalid provider or container name");
    return nullptr;
  }
  std::vector<std::string> installed = ListSoftProviders();
  if (std::find(installed.begin(), installed.end(), provider) == installed.end()) {
    SetError(error, "provider not installed");
    return nullptr;
  }
  std::string path = ContainerKeyPath(provider, container);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    SetError(error, "key container not found");
    return nullptr;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    SetError(error, "key file is not a regular file");
    return nullptr;
  }
  if (st.st_mode & (S_IRWXG | S_IRWXO)) {
    close(fd);
    SetError(error, "key file is accessible by group or others");
    return nullptr;
  }
  std::string pem;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) pem.append(buf, static_cast<size_t>(n));
  close(fd);
  if (n < 0) {
    SetError(error, "key file unreadable");
    return nullptr;
  }
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassword, nullptr) : nullptr;
  OPENSSL_cleanse(pem.data(), pem.size());
  OPENSSL_cleanse(buf, sizeof buf);
  if (!key) SetError(error, "key file holds no private key");
  return key;
}

}  // namespace tolmix::platform
