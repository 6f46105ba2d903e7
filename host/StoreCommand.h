// `tolmix store`: administration of the soft certificate store
// (docs/store.md).  Arguments and output are UTF-8; names are kept in the
// store as GBK.
#pragma once

#include <span>

namespace tolmix::host {

// ARGV holds the words after "store": ARGV[0] is the store subcommand
// ("import", "list", "remove", "add-provider").  Returns the process exit
// status: 0 success, 1 a failed operation, 2 a usage error.
int RunStoreCommand(int argc, char** argv);

// The same for the host's command table.
int RunStore(std::span<const char* const> args);
extern const char kStoreUsage[];

}  // namespace tolmix::host
