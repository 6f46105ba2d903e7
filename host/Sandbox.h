// `tolmix sandbox DIR`: provisions a self-contained environment in DIR (a
// system directory with both device list files and the modules, a SoftHSM2
// token, a soft SKF token, a soft store and a test PKI) and prints the
// variables to export, one NAME=VALUE a line.  README.md ("Sandbox")
// describes what it provisions.
#pragma once

#include <span>

namespace tolmix::host {

// ARGS holds the words after "sandbox": exactly one, DIR.  Returns the
// process exit status: 0 success, 1 a failed step (reason on standard
// error), 2 a usage error.
int RunSandbox(std::span<const char* const> args);
extern const char kSandboxUsage[];

}  // namespace tolmix::host
