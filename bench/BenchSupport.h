// Shared pieces of the benchmarks: the sandbox they run on, the peak memory
// they report, scratch files and child processes.
//
// Every benchmark that needs devices runs on one sandbox per process: the
// one the environment already names (bench/compare provisions one and
// exports its variables), else a fresh `tolmix sandbox` in a temporary
// folder that is removed at exit.  The unattended chooser takes the first
// certificate.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>
#include <vector>

namespace tolmix::bench {

// Makes the sandbox ready (once per process).  False, with the reason in
// *WHY, when it cannot be had; the benchmark then skips itself.
bool EnsureSandbox(std::string* why);

// Skips STATE with the reason when the sandbox is not there; true when it
// is.  Use at the top of a benchmark body.
bool RequireSandbox(benchmark::State& state);

// A file of the sandbox's PKI folder, e.g. Pki("other-rsa.pem").
std::string Pki(const std::string& file);
// The whole content of PATH ("" when unreadable).
std::string ReadFile(const std::string& path);
// A path in the process's scratch folder (removed at exit).
std::string ScratchPath(const std::string& name);

// While alive, the soft SKF key is unplugged (TOLMIX_SKF_TOKEN_DIR names
// an empty folder), so the key probe finds no SKF device and "P11" stays
// the route.
class SkfKeyUnplugged {
 public:
  SkfKeyUnplugged();
  ~SkfKeyUnplugged();
  SkfKeyUnplugged(const SkfKeyUnplugged&) = delete;
  SkfKeyUnplugged& operator=(const SkfKeyUnplugged&) = delete;

 private:
  std::string saved_;
};

// Peak resident memory of this process, in KiB: since the last
// ResetPeak, where the kernel can reset it (/proc/self/clear_refs), else
// since the process started.
long PeakRssKb();
void ResetPeak();
// Sets the counter "peak_kb" of STATE to PEAK_KB.
void ReportPeak(benchmark::State& state, long peakKb);

// Resets the peak when made and reports it ("peak_kb") when it goes: put
// one at the top of a benchmark body that runs in this process.
class PeakScope {
 public:
  explicit PeakScope(benchmark::State& state) : state_(state) { ResetPeak(); }
  ~PeakScope() { ReportPeak(state_, PeakRssKb()); }
  PeakScope(const PeakScope&) = delete;
  PeakScope& operator=(const PeakScope&) = delete;

 private:
  benchmark::State& state_;
};

// Runs ARGV (no shell) with standard output and error to /dev/null; its
// exit status (-1 when it could not run), its peak memory in *PEAK_KB and
// the CPU time it used (user and system) in *CPU_SECONDS (may be null).
int RunChild(const std::vector<std::string>& argv, long* peakKb, double* cpuSeconds = nullptr);

// A file of MEGABYTES MiB of pseudo-random bytes at a scratch path, made
// once per size and process.
const std::string& PlainFile(int megabytes);

// Size of the file at PATH, or -1.
long long FileSize(const std::string& path);

}  // namespace tolmix::bench
