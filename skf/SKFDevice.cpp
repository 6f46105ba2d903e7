// CSKFDevice: finding, loading and unloading the device library, and the
// console line of every SKF call.
#include "skf/SKFDevice.h"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/Env.h"
#include "platform/Trace.h"
#include "util/FixedText.h"
#include "util/IniReader.h"

namespace tolmix {
namespace {

// Console lines, built in a 128-byte buffer.
constexpr size_t kConsoleLineSize = 128;
constexpr char kFailedLine[] = "%s failed, error code 0x%x...\n";
constexpr char kSuccessLine[] = "%s success...\n";

constexpr char kLoadLibraryLabel[] = "LoadLibraryA";
constexpr char kLoadFunctionLabel[] = "load library func";

}  // namespace

CSKFDevice::~CSKFDevice() { Unload(); }

void CSKFDevice::PrintResult(const char* label, ULONG code) noexcept {
  char line[kConsoleLineSize];
  if (code != SAR_OK)
    FormatBounded(line, kFailedLine, label, static_cast<unsigned>(code));
  else
    FormatBounded(line, kSuccessLine, label);
  fputs(line, stdout);
  fflush(stdout);  // the lines keep their order with the host's own output
}

int CSKFDevice::FindConfiguredLibrary(char (&path)[kLibraryPathSize]) {
  // ReadDeviceList applies the file's rules: DeviceCount read into 16 bytes
  // and taken with atol (0 or less: nothing listed), DLLName read into 256
  // bytes, the walk ending at the first Device_N without one.
  const std::string systemDir = platform::SystemDir();
  const std::vector<std::string> names = ReadDeviceList(systemDir, kSkfDeviceListFile);
  if (platform::TraceOn()) {
    const std::string file = systemDir + "/" + kSkfDeviceListFile;
    platform::Trace("SKF: %s %s %zu librar%s", file.c_str(),
                    access(file.c_str(), R_OK) == 0 ? "lists" : "cannot be read: it lists",
                    names.size(), names.size() == 1 ? "y" : "ies");
  }
  for (const std::string& name : names) {
    const std::string candidate = SystemFilePath(systemDir, name.c_str());
    // The path has a 256-byte field; a cut path would name another file.
    if (candidate.size() >= kLibraryPathSize) {
      platform::Trace("SKF: %s passed over: its path is longer than %zu bytes", name.c_str(),
                      kLibraryPathSize - 1);
      continue;
    }
    char list[kListSize] = {};
    ULONG size = kListSize;
    const ULONG code = LoadSkfLibrary(list, &size, candidate.c_str());
    if (code == SAR_OK) {
      platform::Trace("SKF: %s loaded, a device is present", candidate.c_str());
      CopyBounded(path, candidate.c_str());
      return 0;
    }
    if (!m_library.IsLoaded()) {
      platform::Trace("SKF: %s passed over: %s", candidate.c_str(), m_library.Error().c_str());
    } else if (m_bComplete) {  // a missing function was named as the load found it
      platform::Trace("SKF: %s passed over: no device present (SKF_EnumDev 0x%x)",
                      candidate.c_str(), static_cast<unsigned>(code));
    }
  }
  return -1;
}

ULONG CSKFDevice::LoadSkfLibrary(char* list, ULONG* size, const char* library) {
  char fallback[sizeof kDefaultLibraryName + 8];
  if (library == nullptr || *library == '\0') {
    snprintf(fallback, sizeof fallback, "%s%s", kDefaultLibraryName, platform::SharedLibrarySuffix());
    library = fallback;
  }
  Unload();
  if (!m_library.Load(library)) {
    PrintResult(kLoadLibraryLabel, DEVERR_LOAD);
    return DEVERR_LOAD;
  }
  for (size_t i = 0; i < kSkfEntryPoints.size(); ++i) {
    m_apfnEntry[i] = m_library.Symbol(kSkfEntryPoints[i]);
    if (m_apfnEntry[i] == nullptr) {
      platform::Trace("SKF: %s does not export %s", library, kSkfEntryPoints[i]);
      // The library stays loaded, unusable, until the next load or Unload.
      PrintResult(kLoadFunctionLabel, DEVERR_LOAD);
      return DEVERR_LOAD;
    }
  }
  m_bComplete = true;
  return EnumDevices(list, size);
}

// Handles and entry points come from the library, so none of them outlives
// it: a later call on this object finds nothing open instead of calling
// into an unloaded module.
void CSKFDevice::ForgetLibraryState() noexcept {
  m_hDev = nullptr;
  m_hApplication = nullptr;
  m_hContainer = nullptr;
  m_apfnEntry.fill(nullptr);
  m_bComplete = false;
}

int CSKFDevice::Unload() noexcept {
  m_bApplicationsListed = 0;
  if (!m_library.IsLoaded()) return 0;
  m_library.Unload();
  ForgetLibraryState();
  return 1;
}

}  // namespace tolmix
