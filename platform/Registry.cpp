#include "platform/Registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include "platform/AtomicFile.h"

namespace tolmix::platform {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool HasControl(std::string_view s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

bool ValidKeyPath(std::string_view key) {
  if (key.empty() || HasControl(key) || key.front() == '\\' || key.back() == '\\') return false;
  return key.find("\\\\") == std::string_view::npos && key.find(']') == std::string_view::npos;
}

bool ValidValueName(std::string_view name) {
  if (name.empty() || HasControl(name) || name.find('=') != std::string_view::npos) return false;
  return name.front() != '[' && name.front() != ';' && name.front() != '#';
}

// True when KEY lies under PARENT ("PARENT\..."), letter case aside.
bool IsUnder(std::string_view key, std::string_view parent) {
  if (key.size() <= parent.size() + 1 || key[parent.size()] != '\\') return false;
  for (size_t i = 0; i < parent.size(); ++i) {
    if (Lower(key[i]) != Lower(parent[i])) return false;
  }
  return true;
}

std::string ErrnoText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + strerror(errno);
}

// Creates DIR and the folders above it.
bool MakeFolders(const std::string& dir) {
  if (dir.empty()) return true;
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(dir.substr(0, slash))) {
    return false;
  }
  return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAtomically(const std::string& path, const std::string& text, std::string* error) {
  return WriteFileAtomic(path, text, 0644, error);
}

}  // namespace

bool Registry::Less::operator()(const std::string& a, const std::string& b) const {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    char x = Lower(a[i]), y = Lower(b[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
  return a.size() < b.size();
}

bool Registry::CreateKey(std::string_view key) {
  if (!ValidKeyPath(key)) return false;
  for (size_t at = key.find('\\'); at != std::string_view::npos; at = key.find('\\', at + 1)) {
    keys_.try_emplace(std::string(key.substr(0, at)));
  }
  keys_.try_emplace(std::string(key));
  return true;
}

bool Registry::SetValue(std::string_view key, std::string_view name, std::string_view text) {
  if (name.empty()) name = "@";
  if (!ValidValueName(name) || HasControl(text) || !CreateKey(key)) return false;
  keys_.find(std::string(key))->second[std::string(name)] = std::string(text);
  return true;
}

const std::string* Registry::GetValue(std::string_view key, std::string_view name) const {
  if (name.empty()) name = "@";
  auto k = keys_.find(std::string(key));
  if (k == keys_.end()) return nullptr;
  auto v = k->second.find(std::string(name));
  return v == k->second.end() ? nullptr : &v->second;
}

bool Registry::HasKey(std::string_view key) const {
  return keys_.find(std::string(key)) != keys_.end();
}

bool Registry::DeleteTree(std::string_view key) {
  auto k = keys_.find(std::string(key));
  if (k == keys_.end()) return false;
  keys_.erase(k);
  std::erase_if(keys_, [&](const auto& entry) { return IsUnder(entry.first, key); });
  return true;
}

std::vector<std::string> Registry::SubKeys(std::string_view key) const {
  std::vector<std::string> names;
  for (const auto& entry : keys_) {
    if (!IsUnder(entry.first, key)) continue;
    std::string_view rest = std::string_view(entry.first).substr(key.size() + 1);
    if (rest.find('\\') == std::string_view::npos) names.emplace_back(rest);
  }
  return names;
}

void Registry::Overlay(const Registry& over) {
  for (const auto& [key, values] : over.keys_) {
    Values& mine = keys_[key];
    for (const auto& [name, text] : values) mine[name] = text;
  }
}

bool Registry::Parse(std::string_view text, std::string* error) {
  Registry parsed;
  std::string current;
  size_t lineNo = 0;
  while (!text.empty()) {
    ++lineNo;
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    auto fail = [&](const char* why) {
      *error = "line " + std::to_string(lineNo) + ": " + why;
      return false;
    };
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']') return fail("a key line must end with \"]\"");
      current = std::string(line.substr(1, line.size() - 2));
      if (!parsed.CreateKey(current)) return fail("not a valid key path");
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return fail("expected [KEY] or NAME=VALUE");
    if (current.empty()) return fail("a value before the first [KEY]");
    if (!parsed.SetValue(current, line.substr(0, eq), line.substr(eq + 1))) {
      return fail("not a valid value");
    }
  }
  keys_ = std::move(parsed.keys_);
  return true;
}

std::string Registry::Serialize() const {
  std::string out = "; tolmix registry: class IDs, ProgIDs, type libraries, categories\n";
  for (const auto& [key, values] : keys_) {
    // A key with no values of its own and keys under it is implied by them.
    if (values.empty() && !SubKeys(key).empty()) continue;
    out += "\n[" + key + "]\n";
    for (const auto& [name, text] : values) out += name + "=" + text + "\n";
  }
  return out;
}

bool LoadRegistry(const std::string& path, Registry* out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
      *out = Registry();
      return true;
    }
    *error = ErrnoText("cannot read the registry", path);
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "cannot read the registry " + path;
    return false;
  }
  Registry parsed;
  std::string why;
  if (!parsed.Parse(text, &why)) {
    *error = "the registry " + path + " is damaged: " + why;
    return false;
  }
  *out = std::move(parsed);
  return true;
}

bool LoadClassesRoot(const std::string& userPath, const std::string& machinePath,
                     Registry* out, std::string* error) {
  Registry machine, user;
  if (!LoadRegistry(machinePath, &machine, error) || !LoadRegistry(userPath, &user, error)) {
    return false;
  }
  machine.Overlay(user);
  *out = std::move(machine);
  return true;
}

bool EditRegistry(const std::string& path, const std::function<bool(Registry&)>& edit,
                  std::string* error) {
  if (!MakeFolders(FolderOf(path))) {
    *error = ErrnoText("cannot create the folder of", path);
    return false;
  }
  std::string lockPath = path + ".lock";
  int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0) {
    *error = ErrnoText("cannot open the lock file", lockPath);
    return false;
  }
  bool ok = false;
  while (flock(lock, LOCK_EX) != 0) {
    if (errno != EINTR) {
      *error = ErrnoText("cannot lock", lockPath);
      close(lock);
      return false;
    }
  }
  Registry reg;
  if (LoadRegistry(path, &reg, error)) {
    ok = edit(reg) && WriteAtomically(path, reg.Serialize(), error);
    if (!ok && error->empty()) *error = "the registry was not changed";
  }
  close(lock);  // releases the lock
  return ok;
}

}  // namespace tolmix::platform
