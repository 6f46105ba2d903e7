// The Windows locations behind the environment interface: the variables of
// docs/platform.md still win where they are set (tests point them into a
// sandbox), else the real places -- the system directory, the root of
// drive D, the temporary directory of the profile, the application data
// folder.
#include "platform/Env.h"

#include <windows.h>

#include <cstdlib>

namespace tolmix::platform {
namespace {

const char* Get(const char* name) {
  const char* v = name ? getenv(name) : nullptr;
  return (v && *v) ? v : nullptr;
}

std::string WithoutTrailingSlash(std::string dir) {
  while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  return dir;
}

std::string AppData() {
  if (const char* v = Get("APPDATA")) return WithoutTrailingSlash(v) + "\\tolmix";
  if (const char* v = Get("USERPROFILE")) return WithoutTrailingSlash(v) + "\\tolmix";
  return "C:\\tolmix";
}

}  // namespace

std::string SystemDir() {
  if (const char* v = Get("TOLMIX_SYSTEM_DIR")) return WithoutTrailingSlash(v);
  char dir[MAX_PATH];
  UINT n = GetSystemDirectoryA(dir, sizeof dir);
  return (n > 0 && n < sizeof dir) ? WithoutTrailingSlash(std::string(dir, n)) : "C:\\Windows\\System32";
}

std::string LogDir() {
  if (const char* v = Get("TOLMIX_LOG_DIR")) return WithoutTrailingSlash(v);
  return "D:";  // "D:" + "/keyapi.log": the root of drive D
}

std::string TempDir() {
  if (const char* v = Get("TMPDIR")) return WithoutTrailingSlash(v) + "\\";
  char dir[MAX_PATH + 1];
  DWORD n = GetTempPathA(sizeof dir, dir);
  return (n > 0 && n < sizeof dir) ? std::string(dir, n) : "C:\\Windows\\Temp\\";
}

std::string RuntimeDir() { return std::string(); }

std::string StoreDir() {
  if (const char* v = Get("TOLMIX_STORE_DIR")) return WithoutTrailingSlash(v);
  return AppData() + "\\store";
}

std::string RegistryPath() {
  if (const char* v = Get("TOLMIX_REGISTRY")) return v;
  return AppData() + "\\registry.ini";
}

std::string OriginsPath() {
  if (const char* v = Get("TOLMIX_ORIGINS")) return v;
  return AppData() + "\\origins.ini";
}

std::string AdminOriginsPath() {
  if (const char* v = Get("TOLMIX_ADMIN_ORIGINS")) return v;
  return SystemDir() + "\\tolmix-origins.ini";
}

std::string FilesDir() {
  if (const char* v = Get("TOLMIX_FILES_DIR")) return WithoutTrailingSlash(v);
  return AppData() + "\\files";
}

std::string ChooserOverride() {
  const char* v = Get("TOLMIX_CHOOSER");
  return v ? v : "";
}

std::string OpenCommand() {
  const char* v = Get("TOLMIX_OPEN_COMMAND");
  return v ? v : "";
}

std::string MachineRegistryPath() {
  const char* v = Get("TOLMIX_MACHINE_REGISTRY");
  return v ? v : AppData() + "\\machine-registry.ini";
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
