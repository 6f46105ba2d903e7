// tolmix bridge / worker / origins.  The broker, the worker, the origin
// policy and the file confinement live in bridge/; here are only the
// command lines and, for the worker, the registry and class factory path
// by which it creates controls (host/Activation.h), as `tolmix call` does.
#include "host/Bridge.h"

#include <dirent.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "bridge/Broker.h"
#include "bridge/Dispatcher.h"
#include "bridge/Origins.h"
#include "bridge/RequestCheck.h"
#include "bridge/Worker.h"
#include "host/Activation.h"
#include "host/Commands.h"
#include "platform/Env.h"

namespace tolmix::host {

const char kBridgeUsage[] =
    "bridge [--port N | --dispatcher SOCKET] [--idle SECONDS] [--call-timeout SECONDS] | bridge --shim";
const char kDispatcherUsage[] = "dispatcher [--port N --socket PATH]  (the system's tolmix-dispatcher.service)";
const char kWorkerUsage[] = "worker --origin ORIGIN --fd N  (started by the bridge)";
const char kOriginsUsage[] = "origins list | allow ORIGIN | deny ORIGIN | revoke ORIGIN";

namespace {

bool ParseNumber(const char* text, unsigned long max, unsigned long* out) {
  char* end = nullptr;
  unsigned long n = strtoul(text, &end, 10);
  if (!*text || *end || n > max) return false;
  *out = n;
  return true;
}

std::string SelfProgram() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  return n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string("tolmix");
}

// The real user of process PID ("Uid:" in its status), or -1.  Not the
// owner of /proc/PID: a worker is not dumpable, and the kernel shows the
// folder of such a process as root's.
long RealUidOf(const char* pid) {
  FILE* f = fopen((std::string("/proc/") + pid + "/status").c_str(), "r");
  if (!f) return -1;
  char line[256];
  long uid = -1;
  while (fgets(line, sizeof line, f)) {
    if (strncmp(line, "Uid:", 4) == 0) {
      uid = strtol(line + 4, nullptr, 10);
      break;
    }
  }
  fclose(f);
  return uid;
}

// Ends this user's workers of ORIGIN: processes whose command line is
// "... worker --origin ORIGIN ...".  Returns how many were signalled.
int EndWorkers(const std::string& origin) {
  int ended = 0;
  DIR* proc = opendir("/proc");
  if (!proc) return 0;
  while (dirent* e = readdir(proc)) {
    char* end = nullptr;
    long pid = strtol(e->d_name, &end, 10);
    if (*end || pid <= 0 || pid == getpid()) continue;
    if (RealUidOf(e->d_name) != static_cast<long>(getuid())) continue;  // this user's only
    std::string path = std::string("/proc/") + e->d_name + "/cmdline";
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) continue;
    std::string cmd;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) cmd.append(buf, n);
    fclose(f);
    const std::string pattern = std::string("worker") + '\0' + "--origin" + '\0' + origin + '\0';
    if (cmd.find(pattern) == std::string::npos) continue;
    if (kill(static_cast<pid_t>(pid), SIGTERM) == 0) ++ended;
  }
  closedir(proc);
  return ended;
}

// The largest value a number option of the bridge or the dispatcher takes, or 0
// for an option that takes a path, or -1 for no option of theirs.
long OptionMax(std::string_view a) {
  if (a == "--port") return 65535;
  if (a == "--idle" || a == "--call-timeout") return 86400L * 7;
  if (a == "--dispatcher" || a == "--socket") return 0;
  return -1;
}

// Says which of COMMAND's arguments, ARGS[I], is wrong, then USAGE; OPTIONS
// are the options COMMAND takes.
void BadArgument(const char* command, std::initializer_list<std::string_view> options,
                 const char* usage, std::span<const char* const> args, size_t i) {
  const std::string_view a = args[i];
  bool known = false;
  for (std::string_view o : options) known = known || o == a;
  const long max = known ? OptionMax(a) : -1;
  if (max < 0) {
    fprintf(stderr, "tolmix %s: unknown argument \"%s\"\n", command, args[i]);
  } else if (i + 1 >= args.size() || (max == 0 && !*args[i + 1])) {
    fprintf(stderr, "tolmix %s: %s needs a value\n", command, args[i]);
  } else {
    fprintf(stderr, "tolmix %s: %s \"%s\" is not a whole number from 0 to %ld\n", command,
            args[i], args[i + 1], max);
  }
  fprintf(stderr, "usage: tolmix %s\n", usage);
}

}  // namespace

int RunBridge(std::span<const char* const> args) {
  // The script as served at /tolmix.js, for the package's copy.
  if (args.size() == 1 && std::string_view(args[0]) == "--shim") {
    const std::string shim = bridge::ShimScript();
    return fwrite(shim.data(), 1, shim.size(), stdout) == shim.size() && fflush(stdout) == 0 ? 0 : 1;
  }
  bridge::BrokerOptions options;
  options.port = bridge::kDefaultPort;
  options.program = SelfProgram();
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view a = args[i];
    unsigned long n = 0;
    if ((a == "--port" || a == "--idle" || a == "--call-timeout") && i + 1 < args.size() &&
        ParseNumber(args[i + 1], a == "--port" ? 65535 : 86400 * 7, &n)) {
      if (a == "--port") {
        options.port = static_cast<unsigned>(n);
      } else if (a == "--idle") {
        options.idle = std::chrono::seconds(n ? n : 1);
      } else {
        options.callTimeout = std::chrono::seconds(n ? n : 1);
      }
      ++i;
    } else if (a == "--dispatcher" && i + 1 < args.size() && *args[i + 1]) {
      options.dispatcher = args[++i];
    } else {
      BadArgument("bridge", {"--port", "--idle", "--call-timeout", "--dispatcher"}, kBridgeUsage, args, i);
      return kExitUsage;
    }
  }
  return bridge::RunBroker(options);
}

int RunDispatcherCommand(std::span<const char* const> args) {
  bridge::DispatcherOptions options;
  for (size_t i = 0; i < args.size(); i += 2) {
    std::string_view a = args[i];
    unsigned long n = 0;
    if (a == "--port" && i + 1 < args.size() && ParseNumber(args[i + 1], 65535, &n)) {
      options.port = static_cast<unsigned>(n);
    } else if (a == "--socket" && i + 1 < args.size() && *args[i + 1]) {
      options.socket = args[i + 1];
    } else {
      BadArgument("dispatcher", {"--port", "--socket"}, kDispatcherUsage, args, i);
      return kExitUsage;
    }
  }
  // A port of its own needs a socket of its own (not the system's).
  if (!args.empty() && options.socket.empty()) {
    fprintf(stderr, "tolmix dispatcher: --port needs --socket PATH too\n");
    fprintf(stderr, "usage: tolmix %s\n", kDispatcherUsage);
    return kExitUsage;
  }
  return bridge::RunDispatcher(options);
}

int RunWorkerCommand(std::span<const char* const> args) {
  std::string origin;
  unsigned long fd = 0;
  bool haveFd = false;
  for (size_t i = 0; i + 1 < args.size(); i += 2) {
    std::string_view a = args[i];
    if (a == "--origin") origin = bridge::NormalizeOrigin(args[i + 1]);
    if (a == "--fd") haveFd = ParseNumber(args[i + 1], 1024, &fd);
  }
  if (origin.empty() || !haveFd || args.size() != 4) {
    fprintf(stderr, "usage: tolmix %s\n", kWorkerUsage);
    return kExitUsage;
  }
  auto create = [](std::string_view progId, platform::IDispatch** out, std::string* error) {
    return CreateObjectByProgId(progId, platform::IID_IDispatch, reinterpret_cast<void**>(out),
                                error);
  };
  return bridge::RunWorker(static_cast<int>(fd), origin, create);
}

int RunOrigins(std::span<const char* const> args) {
  using bridge::Verdict;
  std::string_view verb = args.empty() ? "" : args[0];
  if (verb == "list" && args.size() == 1) {
    bool ok = true;
    for (const auto& [path, who] : {std::pair{platform::AdminOriginsPath(), "administrator"},
                                    std::pair{platform::OriginsPath(), "user"}}) {
      bridge::OriginList list;
      std::string error;
      if (!bridge::LoadOriginList(path, &list, &error)) {
        fprintf(stderr, "tolmix: %s\n", error.c_str());
        ok = false;
        continue;
      }
      for (const auto& [origin, v] : list.entries()) {
        printf("%s %s (%s)\n", origin.c_str(), bridge::VerdictName(v), who);
      }
    }
    return ok ? kExitOk : kExitFailed;
  }
  if ((verb == "allow" || verb == "deny" || verb == "revoke") && args.size() == 2) {
    std::string origin = bridge::NormalizeOrigin(args[1]);
    if (origin.empty()) {
      fprintf(stderr, "tolmix: \"%s\" is not an origin such as https://www.example.cn\n", args[1]);
      return kExitUsage;
    }
    Verdict v = verb == "allow" ? Verdict::kAllow : verb == "deny" ? Verdict::kDeny : Verdict::kUnknown;
    std::string error;
    if (!bridge::EditOriginList(platform::OriginsPath(), origin, v, &error)) {
      fprintf(stderr, "tolmix: %s\n", error.c_str());
      return kExitFailed;
    }
    // A site that may no longer use the control loses its session at once.
    if (v != Verdict::kAllow) EndWorkers(origin);
    bridge::Decision d = bridge::Decide(origin, &error);
    if (d.byAdministrator) {
      printf("%s: %s by the administrator's %s, which wins\n", origin.c_str(),
             bridge::VerdictName(d.verdict), platform::AdminOriginsPath().c_str());
    }
    return kExitOk;
  }
  fprintf(stderr, "usage: tolmix %s\n", kOriginsUsage);
  return kExitUsage;
}

}  // namespace tolmix::host
