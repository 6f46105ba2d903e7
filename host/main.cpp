// tolmix: the host of the control.  `tolmix COMMAND [ARGS...]`; the
// commands are listed in kCommands.
#include <cstdio>
#include <span>
#include <string_view>

#include "host/Bridge.h"
#include "host/Commands.h"
#include "host/Demo.h"
#include "host/DrawCommand.h"
#include "host/Register.h"
#include "host/Run.h"
#include "host/Sandbox.h"
#include "host/StoreCommand.h"

namespace tolmix::host {
namespace {

struct Command {
  std::string_view name;
  int (*run)(std::span<const char* const> args);
  const char* usage;
};

constexpr Command kCommands[] = {
    {"register", RunRegister, kRegisterUsage},
    {"unregister", RunUnregister, kUnregisterUsage},
    {"call", RunCall, kCallUsage},
    {"run", RunScript, kRunUsage},
    {"draw", RunDraw, kDrawUsage},
    {"properties", RunProperties, kPropertiesUsage},
    {"store", RunStore, kStoreUsage},
    {"sandbox", RunSandbox, kSandboxUsage},
    {"demo", RunDemo, kDemoUsage},
    {"bridge", RunBridge, kBridgeUsage},
    {"dispatcher", RunDispatcherCommand, kDispatcherUsage},
    {"origins", RunOrigins, kOriginsUsage},
    {"worker", RunWorkerCommand, kWorkerUsage},
};

void PrintUsage(FILE* out) {
  fputs("usage: tolmix COMMAND [ARGS...]\n\ncommands:\n", out);
  for (const Command& c : kCommands) fprintf(out, "  tolmix %s\n", c.usage);
}

}  // namespace
}  // namespace tolmix::host

int main(int argc, char** argv) {
  using namespace tolmix::host;
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  std::string_view name = argv[1];
  if (name == "help" || name == "--help" || name == "-h") {
    PrintUsage(stdout);
    return kExitOk;
  }
  for (const Command& c : kCommands) {
    if (c.name == name) {
      return c.run(std::span<const char* const>(argv + 2, static_cast<size_t>(argc - 2)));
    }
  }
  fprintf(stderr, "tolmix: unknown command \"%s\"\n", argv[1]);
  PrintUsage(stderr);
  return kExitUsage;
}
