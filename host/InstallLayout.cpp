#include "host/InstallLayout.h"

#include <filesystem>
#include <system_error>

// Set by host/CMakeLists.txt: the trees this program was built from and the
// installed folders of its configured prefix.
#if !defined(TOLMIX_BUILD_DIR) || !defined(TOLMIX_SOURCE_DIR) ||                      \
    !defined(TOLMIX_BUILD_MODULE_DIR) || !defined(TOLMIX_DEFAULT_SYSTEM_DIR) || \
    !defined(TOLMIX_INSTALL_LIBEXEC_DIR)
#error "host/CMakeLists.txt defines the build and install folders"
#endif

namespace tolmix::host {
namespace fs = std::filesystem;

bool RunsFromBuildTree() {
  std::error_code ec;
  fs::path exe = fs::canonical("/proc/self/exe", ec);
  if (ec) return false;
  fs::path buildHost = fs::canonical(fs::path(TOLMIX_BUILD_DIR) / "host", ec);
  return !ec && exe.parent_path() == buildHost;
}

std::string ServerModulePath() {
  return RunsFromBuildTree() ? TOLMIX_BUILD_DIR "/lib/libtolmix.so"
                             : TOLMIX_DEFAULT_SYSTEM_DIR "/libtolmix.so";
}

std::string ModuleFolder() {
  return RunsFromBuildTree() ? TOLMIX_BUILD_MODULE_DIR : TOLMIX_DEFAULT_SYSTEM_DIR;
}

std::string SoftHsmScriptPath() {
  return RunsFromBuildTree() ? TOLMIX_SOURCE_DIR "/scripts/provision-softhsm.sh"
                             : TOLMIX_INSTALL_LIBEXEC_DIR "/provision-softhsm.sh";
}

}  // namespace tolmix::host
