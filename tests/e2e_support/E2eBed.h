// End-to-end test bed (header only): one sandbox made by the built
// `tolmix sandbox` in a temporary folder, and runs of `tolmix call` /
// `tolmix run` with the sandbox's variables as their environment.
//
// Output of `tolmix call` is one result per member, but the SKF layer
// prints console lines ("SKF_...") on the same standard output and PEM
// results span lines; Results() takes both into account.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace tolmix::e2e {

using Env = std::map<std::string, std::string>;

struct Outcome {
  int status = -1;  // exit status, -1 when the program did not exit
  std::string out;  // standard output
  std::string err;  // standard error
};

inline std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

// Runs COMMAND through sh; standard error goes to ERR_PATH.
inline Outcome Shell(const std::string& command, const std::string& errPath) {
  Outcome r;
  FILE* p = popen((command + " 2>" + Quoted(errPath)).c_str(), "r");
  if (!p) return r;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  int s = pclose(p);
  r.status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  r.err = ReadFile(errPath);
  return r;
}

// OUT without the console lines of the SKF layer.
inline std::string WithoutConsoleLines(const std::string& out) {
  std::string kept;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("SKF_", 0) == 0) continue;
    kept += line;
    kept += '\n';
  }
  return kept;
}

// Splits the output of `tolmix call` into one text per member.  SHAPE has
// one letter per member: 'l' a one-line result, 'p' a PEM text (or the
// empty text), which keeps its final newline.  Missing members are "<none>".
inline std::vector<std::string> Results(const std::string& out, std::string_view shape) {
  std::vector<std::string> lines;
  std::istringstream in(WithoutConsoleLines(out));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::vector<std::string> results;
  size_t i = 0;
  for (char kind : shape) {
    if (i >= lines.size()) {
      results.emplace_back("<none>");
      continue;
    }
    if (kind == 'l' || lines[i].empty()) {
      results.push_back(lines[i++]);
      continue;
    }
    std::string pem;
    while (i < lines.size()) {
      pem += lines[i] + "\n";
      if (lines[i++].rfind("-----END", 0) == 0) break;
    }
    if (i < lines.size() && lines[i].empty()) ++i;  // the host's own newline
    results.push_back(pem);
  }
  return results;
}

class Bed {
 public:
  // Makes the sandbox with HOST (the tolmix binary).  Ok() tells whether it
  // worked; Problem() says why not.
  explicit Bed(std::string host) : host_(std::move(host)) {
    char tmpl[] = "/tmp/tolmix-e2e-XXXXXX";
    if (!mkdtemp(tmpl)) {
      problem_ = "mkdtemp failed";
      return;
    }
    root_ = tmpl;
    std::filesystem::create_directories(root_ + "/no-skf");
    Outcome r =
        Shell(Quoted(host_) + " sandbox " + Quoted(root_ + "/sandbox"), root_ + "/sandbox.err");
    if (r.status != 0) {
      problem_ = "tolmix sandbox failed: " + r.err;
      return;
    }
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      size_t eq = line.find('=');
      if (eq != std::string::npos) vars_[line.substr(0, eq)] = line.substr(eq + 1);
    }
    if (vars_.count("TOLMIX_SANDBOX_PKI") == 0) problem_ = "no variables printed: " + r.out;
  }
  ~Bed() {
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
  }
  Bed(const Bed&) = delete;
  Bed& operator=(const Bed&) = delete;

  bool Ok() const { return problem_.empty(); }
  const std::string& Problem() const { return problem_; }

  std::string Var(const std::string& name) const {
    auto it = vars_.find(name);
    return it == vars_.end() ? std::string() : it->second;
  }
  std::string Pki(const std::string& file) const { return Var("TOLMIX_SANDBOX_PKI") + "/" + file; }
  // A new path in the test folder.
  std::string Scratch(const std::string& name) {
    return root_ + "/" + std::to_string(++scratch_) + "-" + name;
  }
  // Writes DATA to a new scratch file and returns it as a `tolmix call`
  // argument ("@PATH").
  std::string FileArg(const std::string& name, const std::string& data) {
    std::string path = Scratch(name);
    WriteFile(path, data);
    return "@" + path;
  }

  // Settings that keep the soft SKF key out of reach, for calls that must
  // stay on the PKCS#11 token: the SKF probe runs before every key load,
  // and each probe with the token's PIN would count as a wrong SKF PIN.
  Env NoSkf() const { return {{"TOLMIX_SKF_TOKEN_DIR", root_ + "/no-skf"}}; }

  // Runs of `tolmix` that take longer than SECONDS are killed (0: no
  // limit): a call that would hang fails its test instead.
  void SetTimeout(int seconds) { timeout_ = seconds; }

  // Runs `tolmix ARGS...` with the sandbox's variables, TOLMIX_CHOOSER=first
  // and then EXTRA.
  Outcome Tolmix(const std::vector<std::string>& args, const Env& extra = {}) {
    Env env = vars_;
    env["TOLMIX_CHOOSER"] = "first";
    for (const auto& [k, v] : extra) env[k] = v;
    std::string command = timeout_ > 0 ? "timeout -s KILL " + std::to_string(timeout_) + " env"
                                       : std::string("env");
    for (const auto& [k, v] : env) command += " " + Quoted(k + "=" + v);
    command += " " + Quoted(host_);
    for (const std::string& a : args) command += " " + Quoted(a);
    return Shell(command, Scratch("stderr"));
  }

  // `tolmix call` with GROUPS of member and arguments, "--" between them.
  Outcome Call(const std::vector<std::vector<std::string>>& groups, const Env& extra = {}) {
    std::vector<std::string> args{"call"};
    for (size_t g = 0; g < groups.size(); ++g) {
      if (g) args.emplace_back("--");
      args.insert(args.end(), groups[g].begin(), groups[g].end());
    }
    return Tolmix(args, extra);
  }

 private:
  std::string host_;
  std::string root_;
  std::string problem_;
  std::map<std::string, std::string> vars_;
  int scratch_ = 0;
  int timeout_ = 0;
};

}  // namespace tolmix::e2e
