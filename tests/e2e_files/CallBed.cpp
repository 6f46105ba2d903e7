#include "tests/e2e_files/CallBed.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace tolmix::e2etest {
namespace {

std::string g_dir;

// Runs `tolmix sandbox` into a fresh folder and exports the NAME=VALUE
// lines it prints.
class SandboxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string dir = (std::filesystem::temp_directory_path() / "e2e-files-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    g_dir = dir;
    std::string command = std::string(TOLMIX_HOST) + " sandbox '" + dir + "/sb' 2>/dev/null";
    FILE* p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[4096];
    while (fgets(line, sizeof line, p)) {
      std::string text(line);
      while (!text.empty() && text.back() == '\n') text.pop_back();
      size_t eq = text.find('=');
      if (eq != std::string::npos && eq > 0) {
        setenv(text.substr(0, eq).c_str(), text.substr(eq + 1).c_str(), 1);
      }
    }
    ASSERT_EQ(pclose(p), 0) << command;
    ASSERT_NE(getenv("TOLMIX_REGISTRY"), nullptr);
    std::filesystem::create_directories(NoSkfKeyDir());
  }
  void TearDown() override {
    std::error_code ec;
    if (!g_dir.empty()) std::filesystem::remove_all(g_dir, ec);
  }
};

[[maybe_unused]] ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new SandboxEnvironment);

std::string Quoted(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// The separator member between the members of a run: ErrorCode prints the
// line "0", which no PEM text, Base64 block or test content holds alone.
constexpr char kSeparator[] = "ErrorCode";

// The SKF layer prints one console line per device call on the same
// standard output ("<call> success..." or "<call> failed, error code
// 0x<code>..."); they are no member's result.
bool IsSkfConsoleLine(const std::string& line) {
  return line.ends_with(" success...") ||
         (line.ends_with("...") && line.find(" failed, error code 0x") != std::string::npos);
}

}  // namespace

std::vector<std::string> Call(const std::vector<Member>& members, const Env& env) {
  std::string command = "env";
  for (const auto& [name, value] : env) command += " " + name + "=" + Quoted(value);
  command += " " + Quoted(TOLMIX_HOST) + " call";
  for (size_t i = 0; i < members.size(); ++i) {
    if (i) command += " --";
    for (const std::string& word : members[i]) command += " " + Quoted(word);
    command += std::string(" -- ") + kSeparator;
  }
  const std::string errPath = g_dir + "/call.err";
  std::string out;
  if (FILE* p = popen((command + " 2>" + Quoted(errPath)).c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = pclose(p);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << command << "\n" << out << ReadFile(errPath);
  }

  std::vector<std::string> results;
  std::string current;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (IsSkfConsoleLine(line)) continue;
    if (line == "0") {
      // Each result line ends in the line feed `tolmix call` added.
      if (!current.empty()) current.pop_back();
      results.push_back(current);
      current.clear();
    } else {
      current += line + "\n";
    }
  }
  EXPECT_EQ(results.size(), members.size()) << command << "\n" << out;
  results.resize(members.size(), "<not run>");
  return results;
}

const std::string& SandboxDir() { return g_dir; }

std::string PkiPath(const char* name) { return g_dir + "/sb/pki/" + name; }
std::string PkiText(const char* name) { return ReadFile(PkiPath(name)); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string WriteFile(const std::string& name, const std::string& text) {
  std::string path = g_dir + "/" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::string NoSkfKeyDir() { return g_dir + "/no-skf-key"; }

}  // namespace tolmix::e2etest
