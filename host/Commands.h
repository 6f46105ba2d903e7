// Subcommands of the `tolmix` host.  Each takes the arguments that follow
// its name and returns the process exit status: 0 success, 1 a failed
// operation, 2 a usage error.  Results go to standard output, diagnostics
// to standard error, both UTF-8.
#pragma once

#include <span>

namespace tolmix::host {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// tolmix call METHOD [ARGS...] [-- METHOD [ARGS...]]...
int RunCall(std::span<const char* const> args);
extern const char kCallUsage[];

}  // namespace tolmix::host
