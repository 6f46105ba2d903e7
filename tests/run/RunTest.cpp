#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A registry file of its own per test; tolmix runs with it.
class Host : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tolmix-run-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    registry_ = dir_ + "/registry.ini";
    machine_ = dir_ + "/machine/registry.ini";
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
  }

  Outcome Tolmix(const std::vector<std::string>& args) {
    const std::string outPath = dir_ + "/out", errPath = dir_ + "/err";
    pid_t pid = fork();
    if (pid == 0) {
      if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr)) _exit(126);
      setenv("TOLMIX_REGISTRY", registry_.c_str(), 1);
      setenv("TOLMIX_MACHINE_REGISTRY", machine_.c_str(), 1);
      setenv("TOLMIX_CHOOSER", "cancel", 1);
      std::vector<char*> argv{const_cast<char*>(TOLMIX_HOST_BINARY)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(TOLMIX_HOST_BINARY, argv.data());
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadAll(outPath), ReadAll(errPath)};
  }

  std::string Script(const std::string& name, const std::string& text) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path) << text;
    return path;
  }

  std::string dir_, registry_, machine_;
};

TEST_F(Host, RegisterTwiceUnregisterAndCreationFollowTheRegistry) {
  Outcome none = Tolmix({"call", "ErrorCode"});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("\"TOLMIX.TOLMIXCtrl.1\""), std::string::npos) << none.err;
  EXPECT_NE(none.err.find("register"), std::string::npos) << none.err;

  EXPECT_EQ(Tolmix({"register"}).status, 0);
  Outcome again = Tolmix({"register"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(Tolmix({"call", "ErrorCode"}).out, "0\n");
  EXPECT_EQ(Tolmix({"properties"}).status, 0);

  EXPECT_EQ(Tolmix({"unregister"}).status, 0);
  EXPECT_NE(ReadAll(registry_).find("Controls safely scriptable!"), std::string::npos);
  EXPECT_EQ(Tolmix({"call", "ErrorCode"}).status, 1);

  EXPECT_NE(Tolmix({"register", dir_ + "/no-such.so"}).status, 0);
  EXPECT_EQ(Tolmix({"register", "a", "b"}).status, 2);
}

// The machine-wide half serves a user who registered nothing; the user's own
// registration is read over it and wins; each half is removed on its own.
TEST_F(Host, MachineRegistrationServesUsersUnderTheirOwn) {
  Outcome reg = Tolmix({"register", "--machine"});
  ASSERT_EQ(reg.status, 0) << reg.err;
  EXPECT_NE(reg.out.find(" in " + machine_), std::string::npos) << reg.out;
  EXPECT_FALSE(std::ifstream(registry_).good()) << "the user's file is not written";
  struct stat folder {};
  ASSERT_EQ(stat((dir_ + "/machine").c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0755u) << "every user reads the machine's classes";
  EXPECT_EQ(Tolmix({"call", "ErrorCode"}).out, "0\n");

  // The user's file names another server for the same class: it is the one
  // loaded, even though the machine's still works.
  std::string text = ReadAll(machine_);
  const std::string module = "libtolmix.so";
  size_t at = text.find(module);
  ASSERT_NE(at, std::string::npos) << text;
  text.replace(at, module.size(), "no-such-libtolmix.so");
  std::ofstream(registry_) << text;
  Outcome shadowed = Tolmix({"call", "ErrorCode"});
  EXPECT_EQ(shadowed.status, 1);
  EXPECT_NE(shadowed.err.find("no-such-libtolmix.so"), std::string::npos) << shadowed.err;

  // Unregistering the user's half leaves the machine's in force.
  Outcome userOff = Tolmix({"unregister"});
  EXPECT_EQ(userOff.status, 0) << userOff.err;
  EXPECT_EQ(Tolmix({"call", "ErrorCode"}).out, "0\n");

  // A damaged machine file is named, never half-read.
  std::string good = ReadAll(machine_);
  std::ofstream(machine_, std::ios::app) << "stray line\n";
  Outcome damaged = Tolmix({"call", "ErrorCode"});
  EXPECT_EQ(damaged.status, 1);
  EXPECT_NE(damaged.err.find(machine_ + " is damaged"), std::string::npos) << damaged.err;
  std::ofstream(machine_, std::ios::trunc) << good;

  Outcome off = Tolmix({"unregister", "--machine"});
  EXPECT_EQ(off.status, 0) << off.err;
  Outcome none = Tolmix({"call", "ErrorCode"});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find(machine_), std::string::npos) << none.err;
  EXPECT_EQ(Tolmix({"register", "--machine", "a", "b"}).status, 2);
}

TEST_F(Host, DamagedRegistryIsNamedWithItsLine) {
  std::ofstream(registry_) << "[TOLMIX.TOLMIXCtrl.1]\nno value here\n";
  for (const char* command : {"register", "call"}) {
    std::vector<std::string> args{command};
    if (std::string(command) == "call") args.push_back("ErrorCode");
    Outcome r = Tolmix(args);
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_NE(r.err.find(registry_ + " is damaged: line 2"), std::string::npos) << r.err;
  }
}

TEST_F(Host, RunDrivesTheControlThroughActiveXObject) {
  ASSERT_EQ(Tolmix({"register"}).status, 0);
  std::string script = Script("page.js",
                              "var c = new ActiveXObject('TOLMIX.TOLMIXCtrl.1');\n"
                              "var a = WScript.Arguments;\n"
                              "WScript.Echo(a.length, a.Count(), a(0), a.Item(1));\n"
                              "WScript.Echo(c.ErrorCode, typeof c.Sign, c.SignedData === '');\n"
                              "c.SignedData = 'ignored';\n"
                              "WScript.Echo(c.GetLastErrorInfo(1) === '', c.SignedData === '');\n"
                              "try { c.GetLastErrorInfo(); } catch (e) { WScript.Echo('count'); }\n"
                              "try { c.NoSuch; } catch (e) { WScript.Echo(e.name); }\n"
                              "WScript.Quit(a(0) === 'quit' ? 7 : 0);\n"
                              "WScript.Echo('not reached');\n");
  Outcome r = Tolmix({"run", script, "\xE4\xB8\xAD", "two words"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "2 2 \xE4\xB8\xAD two words\n0 function true\ntrue true\ncount\nTypeError\n");
  EXPECT_EQ(r.err, "");

  r = Tolmix({"run", script, "quit", "x"});
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.out.find("not reached"), std::string::npos);
}

TEST_F(Host, ScriptErrorsNameFileAndLine) {
  std::string script = Script("bad.js", "var x = 1;\n\nvar c = new ActiveXObject('TOLMIX.TOLMIXCtrl.1');\n");
  Outcome r = Tolmix({"run", script});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind(script + ":3: Error: ActiveXObject: cannot create \"TOLMIX.TOLMIXCtrl.1\"", 0), 0u)
      << r.err;

  r = Tolmix({"run", Script("syntax.js", "WScript.Echo('a');\nvar = ;\n")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("syntax.js:2: SyntaxError"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "") << "nothing runs from a script that does not compile";

  EXPECT_EQ(Tolmix({"run", dir_ + "/missing.js"}).status, 1);
  EXPECT_EQ(Tolmix({"run"}).status, 2);
}

TEST_F(Host, DrawWritesAPng) {
  std::string png = dir_ + "/c.png";
  ASSERT_EQ(Tolmix({"draw", "32", "16", png}).status, 0);
  std::string data = ReadAll(png);
  ASSERT_GT(data.size(), 33u);
  EXPECT_EQ(data.substr(0, 8), "\x89PNG\r\n\x1A\n");
  EXPECT_EQ(data.substr(16, 8), std::string("\0\0\0\x20\0\0\0\x10", 8));  // 32 x 16
  EXPECT_EQ(Tolmix({"draw", "0", "16", png}).status, 2);
}

}  // namespace
