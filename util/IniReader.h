// The system's own INI reader and the device list files built on it.
//
// Two device list files, "P11_SKF.ini" (PKCS#11 modules) and "GM_SKF.ini"
// (GM/T 0016 SKF libraries), live in the system directory, which callers
// pass in (platform::SystemDir()).  Both hold:
//   [DeviceCount]  DeviceCount=<n>
//   [Device_1]     DLLName=<library file name>
//   [Device_2]     ...
#pragma once

#include <string>
#include <vector>

namespace tolmix {

constexpr char kP11DeviceListFile[] = "P11_SKF.ini";
constexpr char kSkfDeviceListFile[] = "GM_SKF.ini";

// Sizes of the buffers the device readers read into.
constexpr int kDeviceCountSize = 16;
constexpr int kDllNameSize = 256;

// ReadIniString reads KEY of SECTION from the INI file at PATH into OUT (SIZE
// bytes) and returns the length of the text left in OUT.
//
// - A null OUT, a SIZE of 0 or less, or a null KEY: returns 0, touches
//   nothing.
// - Otherwise OUT always holds a NUL-terminated text of at most SIZE - 1
//   bytes: the value found, or else DEF (null = empty), cut to fit.
// - Section and key names match ignoring ASCII case; only the space counts
//   as a blank; "=" is the separator, or ":" on a line without "="; lines
//   starting with ";" or "#" are comments; a value wrapped in double quotes
//   loses them.  Only the first section of a name is searched.  An empty (or
//   null) SECTION searches from the top of the file up to the first header.
// - Lines are read 511 bytes at a time; a longer line continues as a new
//   line.  CR LF line ends read as LF, as the C library's text mode does on
//   the platform the file format comes from.
// - Never fails: an unreadable file, a missing section or key all give DEF.
int ReadIniString(const char* section, const char* key, const char* def, char* out,
                  int size, const char* path);

// Path of FILE in the system directory SYSTEM_DIR (given without a
// trailing "/"): the "%s/%s" join of SYSTEM_DIR and FILE.  Used both for the
// device list files and for the libraries they name.
std::string SystemFilePath(const std::string& systemDir, const char* file);

// ReadDeviceListFile reads the device list file at PATH and returns its
// DLLName values in section order (Device_1, Device_2, ...).  It stops at the
// first Device_ section whose DLLName is missing or empty, even when
// DeviceCount is larger.  An unreadable file, a missing or empty DeviceCount
// or a count of 0 or less (C atol rules, values read into 16 bytes) gives an
// empty list.  Names are at most 255 bytes (read into 256 bytes).
std::vector<std::string> ReadDeviceListFile(const char* path);

// ReadDeviceList reads the device list file FILE (kP11DeviceListFile or
// kSkfDeviceListFile) from the system directory SYSTEM_DIR; see
// ReadDeviceListFile.
std::vector<std::string> ReadDeviceList(const std::string& systemDir, const char* file);

}  // namespace tolmix
