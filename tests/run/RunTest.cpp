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

// A script's values reach the control as JScript hands them over and are
// converted to each parameter's type as Automation does: each line gives
// a value and the text (or algorithm code) it must act as, or the
// HRESULT the call must throw as the error's number.
TEST_F(Host, ScriptValuesAreConvertedAsAutomationDoes) {
  ASSERT_EQ(Tolmix({"register"}).status, 0);
  std::string script = Script("values.js", R"(var c = new ActiveXObject('TOLMIX.TOLMIXCtrl.1');
function digest(text, algo) { return c.Digest(text, algo) ? c.DigestData : 'refused'; }
function thrown(f) { try { f(); return 'no error'; } catch (e) { return (e.number >>> 0).toString(16); } }
var asText = [[7, '7'], [-2, '-2'], [1.5, '1.5'], [-2.5, '-2.5'], [0.1, '0.1'], [1 / 3, '0.333333333333333'],
  [1e10, '10000000000'], [1e20, '1E+20'], [1e-7, '1E-07'], [2147483648, '2147483648'], [true, '-1'],
  [false, '0'], [undefined, ''], [[1, 2.5, 'x'], '1,2.5,x'], [{}, '[object Object]'],
  [new Date(Date.UTC(2024, 0, 2, 3, 4, 5)), 'Tue Jan 2 03:04:05 UTC 2024']];
for (var i = 0; i < asText.length; i++) {
  var a = digest(asText[i][0], 2), b = digest(asText[i][1], 2);
  WScript.Echo('text ' + asText[i][1] + ' ' + (a === b ? 'same' : a + ' != ' + b));
}
var asCode = [[2.5, 2], [3.5, 4], [2.7, 3], [-0, 'refused'], ['5', 5], ['4.5', 4], ['&H6', 6], ['7e0', 7],
  [true, 'refused'], [undefined, 'refused'], [8.4999, 'refused']];
for (var i = 0; i < asCode.length; i++) {
  var want = asCode[i][1] === 'refused' ? 'refused' : digest('abc', asCode[i][1]);
  var got = digest('abc', asCode[i][0]);
  WScript.Echo('code ' + asCode[i][0] + ' ' + (got === want ? 'same' : got + ' != ' + want));
}
WScript.Echo('null ' + thrown(function () { c.Digest(null, 2); }) + ' ' + thrown(function () { c.Digest('x', null); }));
WScript.Echo('overflow ' + thrown(function () { c.Digest('x', 1e10); }) + ' ' +
  thrown(function () { c.Digest('x', 32767.5); }) + ' ' + thrown(function () { c.GetLastErrorInfo(2147483647.5); }));
WScript.Echo('mismatch ' + thrown(function () { c.Digest('x', 'two'); }) + ' ' + thrown(function () { c.Digest('x', ''); }));
WScript.Echo('rounds to 0 ' + (c.VerifyCert('x') === false && c.GetLastErrorInfo(0.5) === c.GetLastErrorInfo(0) &&
  c.GetLastErrorInfo(0) !== '' && c.GetLastErrorInfo(1.5) === ''));
)");
  setenv("TZ", "UTC", 1);
  Outcome r = Tolmix({"run", script});
  unsetenv("TZ");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "text 7 same\ntext -2 same\ntext 1.5 same\ntext -2.5 same\ntext 0.1 same\n"
            "text 0.333333333333333 same\ntext 10000000000 same\ntext 1E+20 same\ntext 1E-07 same\n"
            "text 2147483648 same\ntext -1 same\ntext 0 same\ntext  same\ntext 1,2.5,x same\n"
            "text [object Object] same\ntext Tue Jan 2 03:04:05 UTC 2024 same\n"
            "code 2.5 same\ncode 3.5 same\ncode 2.7 same\ncode 0 same\ncode 5 same\ncode 4.5 same\n"
            "code &H6 same\ncode 7e0 same\ncode true same\ncode undefined same\ncode 8.4999 same\n"
            "null 80020005 80020005\noverflow 8002000a 8002000a 8002000a\n"
            "mismatch 80020005 80020005\nrounds to 0 true\n");
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
