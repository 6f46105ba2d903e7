// "MY" store reading and every store writer.  Layout: docs/store.md.
#include "platform/Store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/pem.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/AtomicFile.h"
#include "platform/Env.h"
#include "platform/SoftProvider.h"
#include "util/OsslPtr.h"

namespace tolmix::platform {
namespace {

constexpr char kMyDirName[] = "MY";
constexpr char kMyIndexName[] = "MY/index";
constexpr char kLockName[] = ".lock";
constexpr char kCertSuffix[] = ".cer";

bool Fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

std::string Path(const char* relative) { return StoreDir() + "/" + relative; }

// mkdir -p with mode 0700 for every folder it creates.
bool MakeDirs(const std::string& dir) {
  if (dir.empty()) return false;
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(dir.substr(0, slash))) return false;
  return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// Replaces PATH with DATA (AtomicFile.h); the store reports no reason.
bool SaveFile(const std::string& path, std::string_view data, mode_t mode) {
  std::string ignored;
  return WriteFileAtomic(path, data, mode, &ignored);
}

bool ReadFile(const std::string& path, std::string* out) {
  out->clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[8192];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    out->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return n == 0;
}

// Exclusive lock on the store for the life of the object.
class StoreLock {
 public:
  StoreLock() {
    if (!MakeDirs(StoreDir())) return;
    fd_ = open(Path(kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~StoreLock() {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
  }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// One line of MY/index: thumbprint, provider, container (names encoded).
struct IndexLine {
  std::string thumbprint, provider, container;
};

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    if (end > pos) lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

bool IsThumbprint(std::string_view t) {
  return t.size() == 40 && std::all_of(t.begin(), t.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
         });
}

// Parses one index line; false for a malformed one (it is then ignored).
bool ParseIndexLine(std::string_view line, IndexLine* out) {
  size_t t1 = line.find('\t');
  if (t1 == std::string_view::npos) return false;
  size_t t2 = line.find('\t', t1 + 1);
  if (t2 == std::string_view::npos || line.find('\t', t2 + 1) != std::string_view::npos) return false;
  out->thumbprint = std::string(line.substr(0, t1));
  if (!IsThumbprint(out->thumbprint)) return false;
  if (!DecodeName(line.substr(t1 + 1, t2 - t1 - 1), &out->provider)) return false;
  if (!DecodeName(line.substr(t2 + 1), &out->container)) return false;
  return out->provider.empty() == out->container.empty();
}

// Reads MY/index; a missing index is an empty store.
bool ReadIndex(std::vector<IndexLine>* out, std::string* error) {
  out->clear();
  std::string root = StoreDir();
  struct stat st {};
  if (stat(root.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
    return Fail(error, "store root is not a folder: " + root);
  }
  std::string path = Path(kMyIndexName), text;
  if (!ReadFile(path, &text)) {
    if (errno == ENOENT) return true;
    return Fail(error, "cannot read " + path + ": " + strerror(errno));
  }
  for (std::string_view line : SplitLines(text)) {
    IndexLine entry;
    if (!ParseIndexLine(line, &entry)) continue;
    bool seen = std::any_of(out->begin(), out->end(),
                            [&](const IndexLine& l) { return l.thumbprint == entry.thumbprint; });
    if (!seen) out->push_back(std::move(entry));
  }
  return true;
}

bool WriteIndex(const std::vector<IndexLine>& lines) {
  std::string text;
  for (const IndexLine& l : lines) {
    text += l.thumbprint + "\t" + EncodeName(l.provider) + "\t" + EncodeName(l.container) + "\n";
  }
  return SaveFile(Path(kMyIndexName), text, 0600);
}

std::string CertPath(const std::string& thumbprint) {
  return StoreDir() + "/" + kMyDirName + "/" + thumbprint + kCertSuffix;
}

bool ProviderInstalled(std::string_view name) {
  std::vector<std::string> all = ListSoftProviders();
  return std::find(all.begin(), all.end(), name) != all.end();
}

}  // namespace

bool ReadMyStore(std::vector<StoreCertificate>* out, std::string* error) {
  out->clear();
  std::vector<IndexLine> lines;
  if (!ReadIndex(&lines, error)) return false;
  for (IndexLine& l : lines) {
    std::string der;
    if (!ReadFile(CertPath(l.thumbprint), &der) || der.empty()) continue;
    StoreCertificate cert;
    cert.thumbprint = std::move(l.thumbprint);
    cert.der.assign(der.begin(), der.end());
    cert.provider = std::move(l.provider);
    cert.container = std::move(l.container);
    out->push_back(std::move(cert));
  }
  return true;
}

bool ImportToMy(const std::vector<unsigned char>& der, std::string_view provider,
                std::string_view container, std::string* thumbprint, std::string* error) {
  if (provider.empty() != container.empty()) {
    return Fail(error, "provider and container must be given together");
  }
  if (!provider.empty() && (!IsValidStoreName(provider) || !IsValidStoreName(container))) {
    return Fail(error, "invalid provider or container name");
  }
  const unsigned char* p = der.data();
  ossl::Ptr<X509> x509(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!x509 || p != der.data() + der.size()) return Fail(error, "not a DER certificate");

  StoreLock lock;
  if (!lock.held()) return Fail(error, "cannot lock the store at " + StoreDir());
  std::vector<IndexLine> lines;
  if (!ReadIndex(&lines, error)) return false;
  if (!MakeDirs(StoreDir() + "/" + kMyDirName)) return Fail(error, "cannot create the MY folder");
  std::string tp = Thumbprint(der);
  if (!SaveFile(CertPath(tp), std::string_view(reinterpret_cast<const char*>(der.data()),
                                                      der.size()),
                       0600)) {
    return Fail(error, "cannot write " + CertPath(tp));
  }
  auto it = std::find_if(lines.begin(), lines.end(),
                         [&](const IndexLine& l) { return l.thumbprint == tp; });
  if (it == lines.end()) it = lines.insert(lines.end(), IndexLine{tp, {}, {}});
  it->provider = std::string(provider);
  it->container = std::string(container);
  if (!WriteIndex(lines)) return Fail(error, "cannot write the MY index");
  if (thumbprint) *thumbprint = tp;
  return true;
}

bool RemoveFromMy(std::string_view thumbprint, std::string* error) {
  std::string tp(thumbprint);
  std::transform(tp.begin(), tp.end(), tp.begin(),
                 [](char c) { return (c >= 'a' && c <= 'f') ? static_cast<char>(c - 32) : c; });
  StoreLock lock;
  if (!lock.held()) return Fail(error, "cannot lock the store at " + StoreDir());
  std::vector<IndexLine> lines;
  if (!ReadIndex(&lines, error)) return false;
  auto it = std::find_if(lines.begin(), lines.end(),
                         [&](const IndexLine& l) { return l.thumbprint == tp; });
  if (it == lines.end()) return Fail(error, "no certificate " + tp + " in MY");
  lines.erase(it);
  // The index goes first: a crash in between leaves an unlisted file, not a
  // listed certificate without its file.
  if (!WriteIndex(lines)) return Fail(error, "cannot write the MY index");
  unlink(CertPath(tp).c_str());
  return true;
}

bool AddSoftProvider(std::string_view name, std::string* error) {
  if (!IsValidStoreName(name)) return Fail(error, "invalid provider name");
  StoreLock lock;
  if (!lock.held()) return Fail(error, "cannot lock the store at " + StoreDir());
  if (!MakeDirs(ProviderDir(name))) return Fail(error, "cannot create " + ProviderDir(name));
  std::vector<std::string> names = ListSoftProviders();
  if (std::find(names.begin(), names.end(), name) != names.end()) return true;
  names.emplace_back(name);
  std::string text;
  for (const std::string& n : names) text += EncodeName(n) + "\n";
  if (!SaveFile(Path(kProvidersIndexName), text, 0600)) {
    return Fail(error, "cannot write the provider index");
  }
  return true;
}

bool PutContainerKey(std::string_view provider, std::string_view container, EVP_PKEY* key,
                     std::string* error) {
  if (!IsValidStoreName(provider) || !IsValidStoreName(container)) {
    return Fail(error, "invalid provider or container name");
  }
  if (!key) return Fail(error, "no key");
  StoreLock lock;
  if (!lock.held()) return Fail(error, "cannot lock the store at " + StoreDir());
  if (!ProviderInstalled(provider)) return Fail(error, "provider not installed");
  if (!MakeDirs(ProviderDir(provider))) return Fail(error, "cannot create the provider folder");
  chmod(ProviderDir(provider).c_str(), 0700);
  ossl::Ptr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || !PEM_write_bio_PKCS8PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr,
                                             nullptr)) {
    return Fail(error, "cannot encode the private key");
  }
  char* data = nullptr;
  long len = BIO_get_mem_data(bio.get(), &data);
  bool ok = SaveFile(ContainerKeyPath(provider, container),
                            std::string_view(data, static_cast<size_t>(len)), 0600);
  OPENSSL_cleanse(data, static_cast<size_t>(len));
  return ok || Fail(error, "cannot write " + ContainerKeyPath(provider, container));
}

bool RemoveContainerKey(std::string_view provider, std::string_view container,
                        std::string* error) {
  if (!IsValidStoreName(provider) || !IsValidStoreName(container)) {
    return Fail(error, "invalid provider or container name");
  }
  StoreLock lock;
  if (!lock.held()) return Fail(error, "cannot lock the store at " + StoreDir());
  if (unlink(ContainerKeyPath(provider, container).c_str()) != 0) {
    return Fail(error, "no key container " + std::string(container));
  }
  return true;
}

}  // namespace tolmix::platform
