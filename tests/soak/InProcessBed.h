// In-process test bed (header only) for the soak and thread tests: one
// sandbox made by the built `tolmix sandbox` in a temporary folder, its
// variables exported into this process, and controls driven through
// Invoke as a script drives them.
//
// Environment variables are process-wide: a test program makes one bed,
// once, before its first control, and keeps it for its whole run.
#pragma once

#include <dirent.h>
#include <openssl/engine.h>
#include <openssl/opensslv.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "control/DispatchTable.h"
#include "control/TOLMIXCtrl.h"
#include "host/SandboxParts.h"
#include "platform/Com.h"

namespace tolmix::inproc {

// Which devices the process sees.  kNoSkf points TOLMIX_SKF_TOKEN_DIR at an
// empty folder: the SKF probe finds no key and private-key calls reach the
// PKCS#11 token (each probe with the token's PIN would otherwise count as a
// wrong SKF PIN).  kPlugged starts like kAll; the test then pulls the key
// and puts it back with PlugSkfKey.
enum class Devices { kAll, kNoSkf, kPlugged };

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class Bed {
 public:
  Bed(const char* host, Devices devices) {
    char tmpl[] = "/tmp/tolmix-inproc-XXXXXX";
    if (!mkdtemp(tmpl)) {
      problem_ = "mkdtemp failed";
      return;
    }
    root_ = tmpl;
    // A leak checker preloaded into this process is not meant for the host.
    std::string cmd = std::string("env -u LD_PRELOAD '") + host + "' sandbox '" + root_ + "/sandbox' 2>'" + root_ +
                      "/sandbox.err'";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    if (!p || pclose(p) != 0) {
      problem_ = "tolmix sandbox failed: " + ReadFile(root_ + "/sandbox.err");
      return;
    }
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      std::string name = line.substr(0, eq), value = line.substr(eq + 1);
      vars_.emplace_back(name, value);
      setenv(name.c_str(), value.c_str(), 1);
    }
    setenv("TOLMIX_CHOOSER", "first", 1);
    if (devices == Devices::kNoSkf) {
      std::filesystem::create_directories(root_ + "/no-skf");
      setenv("TOLMIX_SKF_TOKEN_DIR", (root_ + "/no-skf").c_str(), 1);
    }
    if (Var("TOLMIX_SANDBOX_PKI").empty()) problem_ = "no variables printed: " + out;
  }
  ~Bed() {
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
  }
  Bed(const Bed&) = delete;
  Bed& operator=(const Bed&) = delete;

  bool Ok() const { return problem_.empty(); }
  const std::string& Problem() const { return problem_; }
  std::string Var(const std::string& name) const {
    for (const auto& [n, v] : vars_) {
      if (n == name) return v;
    }
    return "";
  }
  // Puts the sandbox's soft SKF key into its reader or pulls it out: the
  // soft SKF library reads "present" from the key's device.conf on every
  // enumeration.  Every other line of the file is kept.
  bool PlugSkfKey(bool present) const {
    const std::string path =
        Var("TOLMIX_SKF_TOKEN_DIR") + "/" + host::sandbox::kSkfDevice + "/device.conf";
    std::istringstream lines(ReadFile(path));
    std::string kept;
    bool any = false;
    for (std::string line; std::getline(lines, line);) {
      any = true;
      if (line.rfind("present", 0) != 0) kept += line + "\n";
    }
    kept += present ? "present = 1\n" : "present = 0\n";
    const std::string tmp = path + ".new";
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << kept;
    out.close();
    return any && out && std::rename(tmp.c_str(), path.c_str()) == 0;
  }
  std::string Pem(const std::string& file) const {
    return ReadFile(Var("TOLMIX_SANDBOX_PKI") + "/" + file);
  }

 private:
  std::string root_;
  std::string problem_;
  std::vector<std::pair<std::string, std::string>> vars_;
};

struct ReleaseCtrl {
  void operator()(CTOLMIXCtrl* c) const { c->Release(); }
};
using CtrlPtr = std::unique_ptr<CTOLMIXCtrl, ReleaseCtrl>;

// One argument of a member: text (ASCII here) or a number.
struct Arg {
  Arg(const char* s) : text(s), isText(true) {}
  Arg(const std::string& s) : text(s), isText(true) {}
  Arg(int n) : number(n) {}
  std::string text;
  int number = 0;
  bool isText = false;
};

// The result of one member call: its text, or "true" / "false".
inline std::string Call(CTOLMIXCtrl& c, std::u16string_view member, std::vector<Arg> args = {}) {
  const control::DispatchEntry* entry = control::FindMember(member);
  if (!entry) return "<no member>";
  std::vector<platform::Variant> values;  // in reverse order, as Invoke takes them
  for (size_t i = args.size(); i-- > 0;) {
    if (!args[i].isText) {
      values.push_back(entry->params[i].type == platform::VT_I2
                           ? platform::Variant::I2(static_cast<int16_t>(args[i].number))
                           : platform::Variant::I4(args[i].number));
      continue;
    }
    std::u16string wide(args[i].text.begin(), args[i].text.end());  // ASCII only
    values.push_back(platform::Variant::Text(wide));
  }
  platform::DISPPARAMS params{values.data(), nullptr, static_cast<unsigned>(values.size()), 0};
  platform::Variant result;
  uint16_t flags = entry->kind == control::MemberKind::kProperty ? platform::DISPATCH_PROPERTYGET
                                                                 : platform::DISPATCH_METHOD;
  if (c.Invoke(entry->id, platform::IID_NULL, 0, flags, &params, &result, nullptr, nullptr) !=
      platform::S_OK) {
    return "<invoke failed>";
  }
  if (result.vt == platform::VT_BOOL) return result.boolVal ? "true" : "false";
  if (result.vt != platform::VT_BSTR || !result.bstrVal) return "";
  std::string text;
  for (const char16_t* s = result.bstrVal; *s; ++s) text += static_cast<char>(*s);
  return text;
}

// What the process holds, for before-and-after comparisons.
struct Footprint {
  long rssKiB = 0;
  int fds = 0;
  std::multiset<std::string> engines;  // ids on OpenSSL's engine list
  std::set<std::string> modules;       // mapped engine modules and SoftHSM2
};

inline Footprint TakeFootprint() {
  Footprint f;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) f.rssKiB = std::stol(line.substr(6));
  }
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) f.fds += e->d_name[0] != '.';
    closedir(d);
    --f.fds;  // the directory's own descriptor
  }
#if !defined(OPENSSL_NO_ENGINE) && OPENSSL_VERSION_MAJOR < 4
  for (ENGINE* e = ENGINE_get_first(); e; e = ENGINE_get_next(e)) {
    const char* id = ENGINE_get_id(e);
    f.engines.insert(id ? id : "");
  }
#endif  // OpenSSL 4.0 has no engines: the list stays empty
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    size_t slash = line.find('/');
    if (slash == std::string::npos) continue;
    std::string path = line.substr(slash);
    if (path.find("/modules/") != std::string::npos || path.find("libsofthsm2") != std::string::npos)
      f.modules.insert(path);
  }
  return f;
}

}  // namespace tolmix::inproc
