// Environment of the process: the one place that reads the variables that
// stand in for Windows locations.  Every value is read when it is asked for,
// so tests may change a variable between calls.  docs/platform.md lists each
// variable with its default and the Windows location it replaces.
#pragma once

#include <string>

namespace tolmix::platform {

// Folder that holds P11_SKF.ini, GM_SKF.ini, the engine modules and the
// device libraries: $TOLMIX_SYSTEM_DIR, else <libdir>/tolmix.  No
// trailing "/".  Stands in for GetSystemDirectoryA.
std::string SystemDir();

// Folder of the engine's "keyapi.log": $TOLMIX_LOG_DIR, else the user's
// state folder ($XDG_STATE_HOME/tolmix, else ~/.local/state/tolmix).  No
// trailing "/".  Stands in for the root of drive D.
std::string LogDir();

// Temporary folder, always ending in "/": $TMPDIR, else "/tmp/".  Stands in
// for GetTempPathA.
std::string TempDir();

// The user's runtime folder, $XDG_RUNTIME_DIR without a trailing "/", or ""
// when it is unset or not an absolute path.  Holds the private temporary
// folder (TempFolder.h) when set.
std::string RuntimeDir();

// Root of the soft certificate store: $TOLMIX_STORE_DIR, else
// ~/.local/share/tolmix.  No trailing "/".
std::string StoreDir();

// Path of the registry stand-in file: $TOLMIX_REGISTRY, else
// ~/.config/tolmix/registry.ini.
std::string RegistryPath();

// The user's answers about web origins for the bridge: $TOLMIX_ORIGINS,
// else ~/.config/tolmix/origins.ini.
std::string OriginsPath();

// The administrator's origins file, which wins over the user's:
// $TOLMIX_ADMIN_ORIGINS, else /etc/tolmix/origins.ini (<sysconfdir>/tolmix,
// where the package installs it).
std::string AdminOriginsPath();

// Root of the per-origin folders that the bridge confines files named by
// web pages to: $TOLMIX_FILES_DIR, else ~/.local/share/tolmix/files.  No
// trailing "/".
std::string FilesDir();

// Unattended chooser answer ("first", "cancel", "row:N"), or "" when unset:
// $TOLMIX_CHOOSER.
std::string ChooserOverride();

// Command that opens a file for viewing: $TOLMIX_OPEN_COMMAND, else
// "xdg-open".  Stands in for ShellExecuteExA with the verb "open".
std::string OpenCommand();

// Path of the machine-wide registry file, read under the user's:
// $TOLMIX_MACHINE_REGISTRY, else <localstatedir>/lib/tolmix/registry.ini
// (/var/lib/tolmix/registry.ini when installed under /usr).  The
// HKEY_LOCAL_MACHINE half of the classes root, written by
// `tolmix register --machine`; RegistryPath() is the user's half.
std::string MachineRegistryPath();

// Output forms for GM peers that insist on them, a comma list (or ""):
// $TOLMIX_GM_OUTPUT.  "types": GM/T 0010 content types in SM2 signed data;
// "sm4": SM4-CBC content cipher in envelopes to SM2 recipients.  Off (the
// PKCS#7 forms) unless named.
std::string GmOutputForms();

// Reads any other variable through the same place; "" when unset.
std::string Variable(const char* name);

}  // namespace tolmix::platform
