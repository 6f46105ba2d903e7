// Helpers of the fault tests: which of the system's loadable modules are
// mapped into this process, and the state of a target file's folder.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tolmix::faulttest {

// The device libraries and engine modules a call may load.  SoftHSM2 is
// reached only through the wrapper, which closes it when it is unloaded.
inline const std::vector<std::string>& LoadableModules() {
  static const std::vector<std::string> kModules = {
      SKFAPI_MOCK_SO, GMENGINE_SO, PKCS11_RSA_KEY_SO, P11WRAP_SO, "libsofthsm2.so"};
  return kModules;
}

// The modules of LoadableModules() that /proc/self/maps lists, one a line.
inline std::string MappedModules() {
  std::ifstream maps("/proc/self/maps");
  std::stringstream text;
  text << maps.rdbuf();
  std::string found;
  for (const std::string& m : LoadableModules()) {
    std::string real = std::filesystem::weakly_canonical(m).string();
    if (text.str().find(m) != std::string::npos || text.str().find(real) != std::string::npos)
      found += m + "\n";
  }
  return found;
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// Names in DIR, sorted, one a line (a left-over temporary file shows here).
inline std::string Listing(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  std::string out;
  for (const std::string& n : names) out += n + "\n";
  return out;
}

}  // namespace tolmix::faulttest
