// The one place that reads the environment.  A variable that is set but
// empty counts as unset everywhere.
#include "platform/Env.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#ifndef TOLMIX_DEFAULT_SYSTEM_DIR
#define TOLMIX_DEFAULT_SYSTEM_DIR "/usr/local/lib/tolmix"
#endif
#ifndef TOLMIX_DEFAULT_CONFIG_DIR
#define TOLMIX_DEFAULT_CONFIG_DIR "/etc/tolmix"
#endif
#ifndef TOLMIX_DEFAULT_MACHINE_REGISTRY
#define TOLMIX_DEFAULT_MACHINE_REGISTRY "/usr/local/var/lib/tolmix/registry.ini"
#endif

namespace tolmix::platform {
namespace {

const char* Get(const char* name) {
  const char* v = name ? getenv(name) : nullptr;
  return (v && *v) ? v : nullptr;
}

std::string WithoutTrailingSlash(std::string dir) {
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  return dir;
}

// The user's home folder: $HOME, else the password database entry, else
// "/tmp" so that the defaults below still name a usable absolute place.
std::string Home() {
  if (const char* h = Get("HOME")) return WithoutTrailingSlash(h);
  long bufSize = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(bufSize > 0 ? static_cast<size_t>(bufSize) : 16384);
  passwd pw{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
      found->pw_dir && *found->pw_dir) {
    return WithoutTrailingSlash(found->pw_dir);
  }
  return "/tmp";
}

}  // namespace

std::string SystemDir() {
  const char* v = Get("TOLMIX_SYSTEM_DIR");
  return WithoutTrailingSlash(v ? v : TOLMIX_DEFAULT_SYSTEM_DIR);
}

std::string LogDir() {
  if (const char* v = Get("TOLMIX_LOG_DIR")) return WithoutTrailingSlash(v);
  // XDG: a relative XDG_STATE_HOME is invalid and ignored.
  const char* state = Get("XDG_STATE_HOME");
  if (state && state[0] == '/') return WithoutTrailingSlash(state) + "/tolmix";
  return Home() + "/.local/state/tolmix";
}

std::string TempDir() {
  std::string dir = WithoutTrailingSlash(Get("TMPDIR") ? Get("TMPDIR") : "/tmp");
  return dir + "/";
}

std::string RuntimeDir() {
  const char* dir = Get("XDG_RUNTIME_DIR");
  return dir && dir[0] == '/' ? WithoutTrailingSlash(dir) : std::string();
}

std::string StoreDir() {
  if (const char* v = Get("TOLMIX_STORE_DIR")) return WithoutTrailingSlash(v);
  return Home() + "/.local/share/tolmix";
}

std::string RegistryPath() {
  if (const char* v = Get("TOLMIX_REGISTRY")) return v;
  return Home() + "/.config/tolmix/registry.ini";
}

std::string OriginsPath() {
  if (const char* v = Get("TOLMIX_ORIGINS")) return v;
  return Home() + "/.config/tolmix/origins.ini";
}

std::string AdminOriginsPath() {
  if (const char* v = Get("TOLMIX_ADMIN_ORIGINS")) return v;
  return TOLMIX_DEFAULT_CONFIG_DIR "/origins.ini";
}

std::string FilesDir() {
  if (const char* v = Get("TOLMIX_FILES_DIR")) return WithoutTrailingSlash(v);
  return Home() + "/.local/share/tolmix/files";
}

std::string ChooserOverride() {
  const char* v = Get("TOLMIX_CHOOSER");
  return v ? v : "";
}

std::string OpenCommand() {
  const char* v = Get("TOLMIX_OPEN_COMMAND");
  return v ? v : "xdg-open";
}

std::string MachineRegistryPath() {
  const char* v = Get("TOLMIX_MACHINE_REGISTRY");
  return v ? v : TOLMIX_DEFAULT_MACHINE_REGISTRY;
}

std::string GmOutputForms() {
  const char* v = Get("TOLMIX_GM_OUTPUT");
  return v ? v : "";
}

std::string Variable(const char* name) {
  const char* v = Get(name);
  return v ? v : "";
}

}  // namespace tolmix::platform
