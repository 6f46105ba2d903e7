#include "bench/BenchSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

extern char** environ;

namespace tolmix::bench {
namespace fs = std::filesystem;
namespace {

// The process's scratch folder, and the sandbox in it when we made one.
struct Scratch {
  std::string root;
  bool ownSandbox = false;
  ~Scratch() {
    std::error_code ec;
    if (!root.empty()) fs::remove_all(root, ec);
  }
};

Scratch& Folder() {
  static Scratch scratch = [] {
    Scratch s;
    std::string base = getenv("TMPDIR") && *getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
    std::string tmpl = base + "/tolmix-bench-XXXXXX";
    if (mkdtemp(tmpl.data())) s.root = tmpl;
    return s;
  }();
  return scratch;
}

// Runs COMMAND through sh; its standard output, its exit status in *STATUS.
std::string Capture(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) {
    *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int s = pclose(p);
  *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  return out;
}

std::string MakeSandbox() {
  const char* pki = getenv("TOLMIX_SANDBOX_PKI");
  if (pki && *pki && fs::exists(std::string(pki) + "/p11-sign.pem")) return "";
  if (Folder().root.empty()) return "no scratch folder";
  std::string dir = Folder().root + "/sandbox";
  int status = -1;
  std::string out = Capture(std::string("'" TOLMIX_HOST "' sandbox '") + dir + "' 2>&1", &status);
  if (status != 0) return "tolmix sandbox failed: " + out;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos && eq > 0 && line.compare(0, 6, "TOLMIX") == 0) {
      setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
    } else if (eq != std::string::npos && line.compare(0, 7, "SOFTHSM") == 0) {
      setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
    }
  }
  Folder().ownSandbox = true;
  return "";
}

}  // namespace

bool EnsureSandbox(std::string* why) {
  static const std::string failure = [] {
    std::string reason = MakeSandbox();
    if (reason.empty()) {
      setenv("TOLMIX_CHOOSER", "first", 1);
      fs::create_directories(Folder().root + "/no-skf");
    }
    return reason;
  }();
  if (why) *why = failure;
  return failure.empty();
}

bool RequireSandbox(benchmark::State& state) {
  std::string why;
  if (EnsureSandbox(&why)) return true;
  state.SkipWithError(why.c_str());
  return false;
}

std::string Pki(const std::string& file) {
  const char* pki = getenv("TOLMIX_SANDBOX_PKI");
  return std::string(pki ? pki : "") + "/" + file;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string ScratchPath(const std::string& name) { return Folder().root + "/" + name; }

SkfKeyUnplugged::SkfKeyUnplugged() {
  const char* dir = getenv("TOLMIX_SKF_TOKEN_DIR");
  saved_ = dir ? dir : "";
  std::string empty = Folder().root + "/no-skf";
  fs::create_directories(empty);
  setenv("TOLMIX_SKF_TOKEN_DIR", empty.c_str(), 1);
}

SkfKeyUnplugged::~SkfKeyUnplugged() { setenv("TOLMIX_SKF_TOKEN_DIR", saved_.c_str(), 1); }

long PeakRssKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmHWM:") == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

void ResetPeak() {
  int fd = open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  ssize_t w = write(fd, "5", 1);
  (void)w;
  close(fd);
}

void ReportPeak(benchmark::State& state, long peakKb) {
  state.counters["peak_kb"] = benchmark::Counter(static_cast<double>(peakKb));
}

int RunChild(const std::vector<std::string>& argv, long* peakKb, double* cpuSeconds) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  rusage ru{};
  if (wait4(pid, &status, 0, &ru) != pid) return -1;
  if (peakKb) *peakKb = ru.ru_maxrss;
  if (cpuSeconds) {
    *cpuSeconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                  static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const std::string& PlainFile(int megabytes) {
  static std::map<int, std::string> made;
  auto it = made.find(megabytes);
  if (it != made.end()) return it->second;
  std::string path = ScratchPath("plain-" + std::to_string(megabytes) + "m");
  FILE* f = fopen(path.c_str(), "wb");
  uint64_t x = 0x9E3779B97F4A7C15ull;
  std::vector<uint64_t> block(1 << 14);  // 128 KiB
  for (long done = 0; f && done < static_cast<long>(megabytes) * 8; ++done) {
    for (auto& w : block) {  // xorshift64: cheap bytes that do not compress
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      w = x;
    }
    fwrite(block.data(), sizeof(uint64_t), block.size(), f);
  }
  if (f) fclose(f);
  return made.emplace(megabytes, path).first->second;
}

long long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

}  // namespace tolmix::bench
