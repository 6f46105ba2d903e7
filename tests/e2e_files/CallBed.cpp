#include "tests/e2e_files/CallBed.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

namespace tolmix::e2etest {
namespace {

// The separator member between the members of a run: ErrorCode prints the
// line "0", which no PEM text, Base64 block or test content holds alone.
constexpr char kSeparator[] = "ErrorCode";

std::unique_ptr<e2e::Bed> g_bed;

// The sandbox lives as long as the program's tests run.
class SandboxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_bed = std::make_unique<e2e::Bed>(TOLMIX_HOST);
    ASSERT_TRUE(g_bed->Ok()) << g_bed->Problem();
  }
  void TearDown() override { g_bed.reset(); }
};

[[maybe_unused]] ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new SandboxEnvironment);

}  // namespace

e2e::Bed& TheBed() { return *g_bed; }

std::vector<std::string> Call(const std::vector<Member>& members, const Env& env) {
  std::vector<Member> groups;
  for (const Member& m : members) {
    groups.push_back(m);
    groups.push_back({kSeparator});
  }
  e2e::Outcome r = TheBed().Call(groups, env);
  EXPECT_EQ(r.status, 0) << r.out << r.err;

  std::vector<std::string> results;
  std::string current;
  std::istringstream lines(e2e::WithoutConsoleLines(r.out));
  for (std::string line; std::getline(lines, line);) {
    if (line == "0") {
      if (!current.empty()) current.pop_back();  // the line feed `tolmix call` added
      results.push_back(current);
      current.clear();
    } else {
      current += line + "\n";
    }
  }
  EXPECT_EQ(results.size(), members.size()) << r.out << r.err;
  results.resize(members.size(), "<not run>");
  return results;
}

std::string PkiText(const char* name) { return e2e::ReadFile(TheBed().Pki(name)); }

std::string Listing(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  std::string out;
  for (const std::string& n : names) out += n + "\n";
  return out;
}

}  // namespace tolmix::e2etest
