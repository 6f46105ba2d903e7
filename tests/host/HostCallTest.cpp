// `tolmix` commands as a user runs them, against a registry file of the
// program's own in which `tolmix register` has put the server.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e_support/RegisteredServer.h"

namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs tolmix with ARGS (no shell involved) and collects its output.
Outcome Tolmix(const std::vector<std::string>& args) {
  char outPath[] = "/tmp/tolmix-host-out-XXXXXX";
  char errPath[] = "/tmp/tolmix-host-err-XXXXXX";
  int outFd = mkstemp(outPath);
  int errFd = mkstemp(errPath);
  Outcome r;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outFd, 1);
    dup2(errFd, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(TOLMIX_HOST_BINARY));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(TOLMIX_HOST_BINARY, argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  close(outFd);
  close(errFd);
  r.out = ReadAll(outPath);
  r.err = ReadAll(errPath);
  unlink(outPath);
  unlink(errPath);
  return r;
}

class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    char name[] = "/tmp/tolmix-host-arg-XXXXXX";
    int fd = mkstemp(name);
    path_ = name;
    if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
      ADD_FAILURE() << "cannot write " << path_;
    }
    close(fd);
  }
  ~TempFile() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// "参数过长." and "参数含有无法转换的字符." in UTF-8.
const char kTooLong[] = "\xE5\x8F\x82\xE6\x95\xB0\xE8\xBF\x87\xE9\x95\xBF.";
const char kNotGbk[] =
    "\xE5\x8F\x82\xE6\x95\xB0\xE5\x90\xAB\xE6\x9C\x89\xE6\x97\xA0\xE6\xB3\x95\xE8\xBD\xAC\xE6\x8D"
    "\xA2\xE7\x9A\x84\xE5\xAD\x97\xE7\xAC\xA6.";

TEST(HostCall, FreshControlReadsEmptyResults) {
  Outcome r = Tolmix({"call", "GetLastErrorInfo", "0", "--", "ErrorCode", "--", "SignedData", "--",
                  "GetLastErrorInfo", "1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "\n0\n\n\n");
  EXPECT_EQ(r.err, "");
}

TEST(HostCall, UnknownMemberFailsClearly) {
  Outcome r = Tolmix({"call", "NoSuchMember"});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("NoSuchMember"), std::string::npos) << r.err;
}

TEST(HostCall, BadCallsStopTheRunWithAMessage) {
  Outcome count = Tolmix({"call", "ErrorCode", "--", "Digest", "abc"});
  EXPECT_EQ(count.status, 1);
  EXPECT_EQ(count.out, "0\n") << "members before the failure ran";
  EXPECT_NE(count.err.find("srcData, algo"), std::string::npos) << count.err;

  Outcome type = Tolmix({"call", "Digest", "abc", "sha1"});
  EXPECT_EQ(type.status, 1);
  EXPECT_NE(type.err.find("algo"), std::string::npos) << type.err;

  EXPECT_EQ(Tolmix({"call"}).status, 2);
  EXPECT_EQ(Tolmix({"call", "ErrorCode", "--"}).status, 2);
  EXPECT_EQ(Tolmix({"nosuchcommand"}).status, 2);
}

TEST(HostCall, ResultsAndMessagesAreUtf8) {
  Outcome r = Tolmix({"call", "Sign", "\xF0\x9F\x98\x80", "--", "GetLastErrorInfo", "0", "--",
                  "AboutBox"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string("false\n") + kNotGbk + "\n\n");
}

TEST(HostCall, AtFileArgumentsReadTheFile) {
  // The file's text is the argument: 256 bytes are refused as too long, a
  // 255-byte file (after its byte-order mark) is not.
  TempFile tooLong(std::string(256, 'a'));
  Outcome r = Tolmix({"call", "SetPasswd", "@" + tooLong.path(), "pw", "1", "--", "GetLastErrorInfo",
                  "0"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string("false\n") + kTooLong + "\n");

  TempFile fits("\xEF\xBB\xBF" + std::string(255, 'a'));
  r = Tolmix({"call", "SetPasswd", "@" + fits.path(), "pw", "1", "--", "GetLastErrorInfo", "0"});
  // It fits, so SetPasswd itself answers: "aaa..." is no interface it knows.
  EXPECT_EQ(r.out, "false\n\xE4\xB8\x8D\xE6\x94\xAF\xE6\x8C\x81\xE7\x9A\x84\xE6\x8E\xA5"
                   "\xE5\x8F\xA3\xE6\xA0\x87\xE5\x87\x86.\n");  // 不支持的接口标准.

  TempFile algo("sha1");
  r = Tolmix({"call", "Digest", "abc", "@" + algo.path()});
  EXPECT_EQ(r.status, 1) << "the file's text is not a number";

  TempFile notUtf8("\xC3\x28");
  EXPECT_EQ(Tolmix({"call", "Sign", "@" + notUtf8.path()}).status, 2);
  EXPECT_EQ(Tolmix({"call", "Sign", "@/nonexistent/file"}).status, 2);
}

TEST(HostCall, DoubleAtIsALiteralAt) {
  Outcome r = Tolmix({"call", "Sign", "@@/nonexistent/file"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "false\n");
  // "@@" followed by text that is not GBK reaches the control as text.
  r = Tolmix({"call", "Sign", "@@\xF0\x9F\x98\x80", "--", "GetLastErrorInfo", "0"});
  EXPECT_EQ(r.out, std::string("false\n") + kNotGbk + "\n");
}

}  // namespace

// The command line's own answers: version, help, usage errors that name
// the bad value.
TEST(HostCommandLine, HelpVersionAndUsageErrors) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* out;  // must occur in standard output
    const char* err;  // must occur in standard error
  } cases[] = {
      {{"--version"}, 0, "tolmix 1.0\n", ""},
      {{"help", "call"}, 0, "usage: tolmix call [--timeout S] METHOD", ""},
      {{"call", "--help"}, 0, "man tolmix", ""},
      {{"--verbose", "help", "bridge"}, 0, "tolmix bridge: ", ""},
      {{"help", "nosuch"}, 2, "", "\"nosuch\""},
      {{"bridge", "--port", "99999"}, 2, "", "--port \"99999\" is not"},
      {{"bridge", "--idle"}, 2, "", "--idle needs a value"},
      {{"dispatcher", "--help"}, 0, "usage: tolmix dispatcher", ""},
      {{"dispatcher", "--idle", "1"}, 2, "", "unknown argument \"--idle\""},
      {{}, 2, "", "usage: tolmix"},
  };
  for (const Case& c : cases) {
    Outcome r = Tolmix(c.args);
    std::string what = c.args.empty() ? "(none)" : c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : "");
    EXPECT_EQ(r.status, c.status) << what << ": " << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << what << ": " << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << what << ": " << r.err;
  }
}

// `tolmix help` and the manual list the same commands.
TEST(HostCommandLine, HelpListsTheManualsCommands) {
  std::set<std::string> manual, help;
  std::istringstream page(ReadAll(TOLMIX_SOURCE_DIR "/docs/tolmix.1"));
  bool inCommands = false, afterTp = false;
  for (std::string line; std::getline(page, line);) {
    if (line.rfind(".SH", 0) == 0) inCommands = line == ".SH COMMANDS";
    if (inCommands && afterTp && line[0] == '.') {
      std::istringstream words(line.substr(line.find(' ') + 1));
      std::string word;
      words >> word;
      manual.insert(word.substr(word[0] == '"'));
    }
    afterTp = line == ".TP";
  }
  std::istringstream listing(Tolmix({"help"}).out);
  bool inList = false;
  for (std::string line; std::getline(listing, line);) {
    if (line == "commands:") inList = true;
    else if (line.empty()) inList = inList && help.empty();
    else if (inList) help.insert(line.substr(2, line.find(' ', 2) - 2));
  }
  EXPECT_FALSE(help.empty());
  EXPECT_EQ(help, manual);
}
