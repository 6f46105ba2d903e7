#include "bridge/SiteFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <vector>

#include "bridge/Frames.h"
#include "platform/Env.h"
#include "util/Base64.h"

namespace tolmix::bridge {

using json = nlohmann::json;

namespace {

// /get's limit: its Base64 must fit in one frame.
constexpr off_t kMaxFileBytes = kMaxFrameBytes / 4 * 3 - 4096;
constexpr std::chrono::seconds kWalkAgain{60};

// VARIABLE as a whole number, or FALLBACK.
uint64_t Limit(const char* variable, uint64_t fallback) {
  const std::string text = platform::Variable(variable);
  char* end = nullptr;
  const unsigned long long n = text.empty() ? 0 : strtoull(text.c_str(), &end, 10);
  return text.empty() || *end || n == 0 ? fallback : n;
}

std::string Failure(const std::string& text) {
  return json{{"error", text}, {"hresult", static_cast<int32_t>(0x80004005u)}}.dump();
}

std::string Base64Of(const std::string& bytes) {
  if (bytes.empty()) return "";
  std::string text(static_cast<size_t>(Base64EncodedLength(static_cast<int>(bytes.size()))) + 1, '\0');
  int n = Base64Encode(text.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                       static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(n));
  return text;
}

bool BytesOf(const std::string& text, std::string* bytes) {
  bytes->clear();
  if (text.empty()) return true;
  std::vector<unsigned char> buf(text.size() / 4 * 3 + 3);
  unsigned len = 0;
  if (Base64Decode(buf.data(), text.c_str(), &len) != 0) return false;
  bytes->assign(reinterpret_cast<const char*>(buf.data()), len);
  return true;
}

}  // namespace

SiteFolder::SiteFolder(std::string root)
    : files_(std::move(root)),
      maxBytes_(Limit("TOLMIX_MAX_STORED_BYTES", uint64_t{1} << 30)),
      maxEntries_(Limit("TOLMIX_MAX_STORED_FILES", 10000)) {}

const FolderUsage& SiteFolder::Held() {
  const auto now = std::chrono::steady_clock::now();
  if (!known_ || now - walked_ >= kWalkAgain) {
    usage_ = files_.Usage();
    walked_ = now;
    known_ = true;
  }
  return usage_;
}

bool SiteFolder::Room(uint64_t bytes, uint64_t newEntries, std::string* why) {
  const FolderUsage& u = known_ ? usage_ : Held();
  if (u.bytes + bytes > maxBytes_) {
    *why = "the site's folder would hold more than " + std::to_string(maxBytes_) + " bytes";
    return false;
  }
  if (u.entries + newEntries > maxEntries_) {
    *why = "the site's folder would hold more than " + std::to_string(maxEntries_) + " files";
    return false;
  }
  return true;
}

uint64_t SiteFolder::Projected(std::string_view member, uint64_t source) {
  // PEM: 4 characters for every 3 bytes, a line end every 64, the
  // recipient's block and the armour within the 8 KiB.
  if (member == "EncryptFile") return source / 3 * 4 + source / 48 + 8192;
  return source + 8192;  // DecryptFile: never more than the envelope
}

bool SiteFolder::Finish(MappedPath& m, bool keep) {
  struct stat st;
  const bool sized = keep && m.fd.get() >= 0 && fstat(m.fd.get(), &st) == 0;
  const bool counted = !m.temp.empty();
  const bool ok = Confinement::Finish(m, keep);
  if (counted && keep && ok && sized && known_) {
    usage_.bytes = usage_.bytes - std::min(usage_.bytes, m.replaced) + static_cast<uint64_t>(st.st_size);
    if (!m.existed) ++usage_.entries;
  } else if (counted && keep && ok) {
    known_ = false;  // walked again when next asked
  }
  return ok;
}

std::string SiteFolder::Put(std::string name, const std::string& data) {
  // Only the file's own name counts, never a folder the page names.
  size_t cut = name.find_last_of("/\\");
  if (cut != std::string::npos) name.erase(0, cut + 1);
  std::string bytes, why;
  if (!BytesOf(data, &bytes)) return Failure("data is not Base64");
  Held();
  MappedPath m;
  if (name.empty() || name == "." || name == ".." || !files_.Map(name, PathUse::kWrite, &m, &why)) {
    return Failure("cannot store \"" + name + "\": " + (why.empty() ? "the path names no file" : why));
  }
  // A file replaced gives its bytes back.
  const uint64_t freed = std::min<uint64_t>(m.replaced, bytes.size());
  if (!Room(bytes.size() - freed, m.existed ? 0 : 1, &why)) {
    Confinement::Finish(m, false);
    return Failure("cannot store \"" + name + "\": " + why);
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(m.fd.get(), bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const std::string leaf = m.leaf;
  if (!Finish(m, done == bytes.size()) || done != bytes.size()) {
    return Failure("cannot store \"" + name + "\"");
  }
  return json{{"path", leaf}}.dump();
}

std::string SiteFolder::Get(const std::string& path) {
  MappedPath mapped;
  std::string why, bytes;
  if (!files_.Map(path, PathUse::kRead, &mapped, &why)) {
    return Failure("cannot read \"" + path + "\": " + why);
  }
  struct stat st;
  if (fstat(mapped.fd.get(), &st) != 0 || st.st_size > kMaxFileBytes) {
    return Failure("\"" + path + "\" is too large to hand to the page");
  }
  char buf[65536];
  ssize_t n;
  while ((n = pread(mapped.fd.get(), buf, sizeof buf, static_cast<off_t>(bytes.size()))) > 0) {
    bytes.append(buf, static_cast<size_t>(n));
  }
  if (n < 0) return Failure("cannot read \"" + path + "\"");
  return json{{"data", Base64Of(bytes)}}.dump();
}

}  // namespace tolmix::bridge
