// tolmix: the host of the control.  `tolmix [--verbose] COMMAND [ARGS...]`;
// the commands are listed in kCommands, with the line `tolmix help` shows
// for each (docs/tolmix.1 lists the same commands).
#include <cstdio>
#include <cstdlib>
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
  const char* summary;  // nullptr: started by tolmix itself, not listed
};

constexpr Command kCommands[] = {
    {"register", RunRegister, kRegisterUsage,
     "register the in-process server for this user (or the machine)"},
    {"unregister", RunUnregister, kUnregisterUsage, "take the server's classes out again"},
    {"call", RunCall, kCallUsage, "create one control and call its members, one result a line"},
    {"run", RunScript, kRunUsage, "run a page-style script (ES5) that creates the control"},
    {"draw", RunDraw, kDrawUsage, "write what the control draws as a PNG file"},
    {"properties", RunProperties, kPropertiesUsage, "print the property page's dialog template"},
    {"store", RunStore, kStoreUsage, "manage the user's soft certificate store"},
    {"sandbox", RunSandbox, kSandboxUsage,
     "provision a self-contained test environment and print its variables"},
    {"demo", RunDemo, kDemoUsage, "a sandbox, then the demonstration script on every route"},
    {"bridge", RunBridge, kBridgeUsage, "this user's browser bridge for web pages on 127.0.0.1:26410"},
    {"dispatcher", RunDispatcherCommand, kDispatcherUsage,
     "hands each user's connections on 127.0.0.1:26410 to that user's bridge"},
    {"origins", RunOrigins, kOriginsUsage, "manage the user's answers about web origins"},
    {"worker", RunWorkerCommand, kWorkerUsage, nullptr},
};

constexpr char kMore[] =
    "\n`man tolmix` describes every command; /usr/share/doc/tolmix/ (README.md,\n"
    "admin.md) or the docs/ of the source tree say more.\n";

void PrintUsage(FILE* out) {
  fputs("usage: tolmix [--verbose] COMMAND [ARGS...]\n"
        "       tolmix help [COMMAND] | tolmix COMMAND --help | tolmix --version\n\n"
        "commands:\n",
        out);
  for (const Command& c : kCommands) {
    if (c.summary) fprintf(out, "  %-12s %s\n", c.name.data(), c.summary);
  }
  fputs("\n--verbose (or TOLMIX_DEBUG=1) says on standard error which device list,\n"
        "module, slot and key each route looked at and why it passed one over.\n",
        out);
  fputs(kMore, out);
}

const Command* Find(std::string_view name) {
  for (const Command& c : kCommands) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

void PrintCommandHelp(const Command& c) {
  if (c.summary) printf("tolmix %s: %s\n\n", c.name.data(), c.summary);
  printf("usage: tolmix %s\n", c.usage);
  fputs(kMore, stdout);
}

bool IsHelp(std::string_view a) { return a == "--help" || a == "-h"; }

}  // namespace
}  // namespace tolmix::host

int main(int argc, char** argv) {
  using namespace tolmix::host;
  int first = 1;
  // --verbose: the routes' trace (platform/Trace.h), for this process and
  // every child it starts (workers, the demo's scripts).
  while (first < argc && std::string_view(argv[first]) == "--verbose") {
    setenv("TOLMIX_DEBUG", "1", 1);
    ++first;
  }
  if (first >= argc) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  std::string_view name = argv[first];
  if (name == "--version") {
    printf("tolmix %s\n", TOLMIX_VERSION);
    return kExitOk;
  }
  if (name == "help" || IsHelp(name)) {
    if (first + 1 >= argc) {
      PrintUsage(stdout);
      return kExitOk;
    }
    const Command* c = Find(argv[first + 1]);
    if (c == nullptr || first + 2 < argc) {
      fprintf(stderr, "tolmix: no help on \"%s\": not a command\n", argv[first + 1]);
      PrintUsage(stderr);
      return kExitUsage;
    }
    PrintCommandHelp(*c);
    return kExitOk;
  }
  const Command* c = Find(name);
  if (c == nullptr) {
    fprintf(stderr, "tolmix: unknown command \"%s\"\n", argv[first]);
    PrintUsage(stderr);
    return kExitUsage;
  }
  if (first + 2 == argc && IsHelp(argv[first + 1])) {
    PrintCommandHelp(*c);
    return kExitOk;
  }
  return c->run(std::span<const char* const>(argv + first + 1, static_cast<size_t>(argc - first - 1)));
}
