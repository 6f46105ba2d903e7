// tolmix demo [DIR]: the command.  A sandbox, then examples/demo.js under
// `tolmix run` once per route, with the report's tallies added up.
#include "host/Demo.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "generated/DemoScript.h"
#include "host/Commands.h"
#include "host/DemoParts.h"
#include "host/SandboxParts.h"

namespace tolmix::host {

const char kDemoUsage[] = "demo [DIR]";

namespace demo {
namespace {

// Password of the PFX file the demo makes for the PFX queries.
constexpr char kPfxPassword[] = "demo-pfx";

// One run of demo.js.  The SKF probe runs before every key load on "P11",
// so that route needs the SKF key out (a user would pull the USB key);
// "CSP" needs the chooser to answer.
struct Route {
  const char* name;
  const char* pin;
  const char* recipient;  // PKI certificate of the route's exchange key
  bool skfPlugged;
  const char* chooser;    // TOLMIX_CHOOSER
  const char* setting;    // what the harness did, for the report
};

constexpr Route kRoutes[] = {
    {"P11", sandbox::kP11Pin, "p11-exchange", false, "cancel",
     "SoftHSM2 token; the soft SKF key pulled out"},
    {"SKF", sandbox::kSkfPin, "skf-sm2-enc", true, "cancel", "soft SKF key (SM2) plugged in"},
    {"CSP", "", "csp-enc", true, "first",
     "soft store; the chooser takes the first certificate it offers"},
};

struct Tally {
  int passed = 0;
  int failed = 0;
};

int Failed(const std::string& what) {
  fprintf(stderr, "tolmix demo: %s\n", what.c_str());
  return kExitFailed;
}

// A new folder under $TMPDIR (else /tmp), or "" when none can be made.
std::string NewTempDir() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tolmix-demo-XXXXXX";
  return mkdtemp(pattern.data()) ? pattern : std::string();
}

// Runs `tolmix sandbox DIR` and takes the variables it prints into this
// process's environment, so that every later child runs in the sandbox.
bool MakeSandbox(const std::string& dir, std::map<std::string, std::string>* vars,
                 std::string* error) {
  int status = RunSelf({"sandbox", dir}, [vars](const std::string& line) {
    size_t eq = line.find('=');
    if (eq != std::string::npos && eq > 0) (*vars)[line.substr(0, eq)] = line.substr(eq + 1);
  });
  if (status != 0 || vars->count("TOLMIX_SANDBOX_PKI") == 0 ||
      vars->count("TOLMIX_SKF_TOKEN_DIR") == 0) {
    *error = "tolmix sandbox " + dir + " failed";
    return false;
  }
  for (const auto& [name, value] : *vars) setenv(name.c_str(), value.c_str(), 1);
  return true;
}

// Adds the closing line "ROUTE: N passed, N failed" of a run to *TALLY.
bool TakeTally(const std::string& line, Tally* tally) {
  char route[16];
  int passed = 0, failed = 0, used = 0;
  if (sscanf(line.c_str(), "%15[^:]: %d passed, %d failed%n", route, &passed, &failed, &used) != 3 ||
      static_cast<size_t>(used) != line.size()) {
    return false;
  }
  tally->passed += passed;
  tally->failed += failed;
  return true;
}

// One run of the script on ROUTE; its report goes to standard output
// without the SKF layer's console lines.
void RunRoute(const Route& r, const std::vector<std::string>& scriptArgs, Tally* total) {
  printf("\n== route %s: %s\n", r.name, r.setting);
  setenv("TOLMIX_CHOOSER", r.chooser, 1);
  std::vector<std::string> args = {"run"};
  args.insert(args.end(), scriptArgs.begin(), scriptArgs.end());
  args.push_back(std::string("route=") + r.name);
  args.push_back(std::string("pin=") + r.pin);
  bool tallied = false;
  Tally tally;
  int status = RunSelf(args, [&](const std::string& line) {
    if (line.rfind("SKF_", 0) == 0) return;
    tallied = TakeTally(line, &tally) || tallied;
    printf("%s\n", line.c_str());
  });
  // A run that ends without its closing line, or with a status that does
  // not match it, broke off: one failure more.
  if (!tallied || (status == 0) != (tally.failed == 0)) {
    printf("%-5s%-34sFAIL  the script stopped (exit status %d)\n", r.name, "demo.js", status);
    tally.failed += 1;
  }
  total->passed += tally.passed;
  total->failed += tally.failed;
}

}  // namespace
}  // namespace demo

int RunDemo(std::span<const char* const> args) {
  using namespace demo;
  if (args.size() > 1 || (args.size() == 1 && (args[0][0] == '\0' || args[0][0] == '-'))) {
    fprintf(stderr, "usage: tolmix %s\n", kDemoUsage);
    return kExitUsage;
  }
  std::string dir = args.empty() ? NewTempDir() : std::string(args[0]);
  if (dir.empty()) return Failed("cannot make a folder for the sandbox");
  printf("== sandbox in %s\n", dir.c_str());
  std::map<std::string, std::string> vars;
  std::string error;
  if (!MakeSandbox(dir, &vars, &error)) return Failed(error);
  // The sandbox prints absolute paths: DIR itself is the folder of DIR/pki.
  const std::string pki = vars["TOLMIX_SANDBOX_PKI"], tokenDir = vars["TOLMIX_SKF_TOKEN_DIR"];
  const std::string root = pki.substr(0, pki.rfind('/'));

  // The script as written in examples/, next to the sandbox it ran on.
  const std::string script = root + "/demo.js", work = root + "/work";
  const std::string pfx = work + "/other-rsa.pfx";
  std::string other;
  mkdir(work.c_str(), 0700);
  if (!sandbox::WriteFileAtomic(script, std::string(kDemoScript, kDemoScriptSize), 0644, &error) ||
      !MakePfx(pki + "/other-rsa.pem", pki + "/other-rsa.key", kPfxPassword, pfx, &error) ||
      !ReadWholeFile(pki + "/quenmark-user.pem", &other, &error)) {
    return Failed(error);
  }
  printf("== %s once per route; one line per check: route, member, ok or FAIL, value\n",
         script.c_str());

  Tally total;
  for (const Route& r : kRoutes) {
    std::string recipient;
    if (!ReadWholeFile(pki + "/" + r.recipient + ".pem", &recipient, &error) ||
        !PlugSkfDevice(tokenDir, sandbox::kSkfDevice, r.skfPlugged, &error)) {
      return Failed(error);
    }
    RunRoute(r, {script, "recipient=" + recipient, "other=" + other, "work=" + work, "pfx=" + pfx,
                 std::string("pfxpass=") + kPfxPassword},
             &total);
  }
  if (!PlugSkfDevice(tokenDir, sandbox::kSkfDevice, true, &error)) return Failed(error);

  printf("\n== the sandbox is kept in %s: `. %s/env.sh` to use it\n", root.c_str(), root.c_str());
  printf("%d passed, %d failed\n", total.passed, total.failed);
  fflush(stdout);
  return total.failed == 0 ? kExitOk : kExitFailed;
}

}  // namespace tolmix::host
