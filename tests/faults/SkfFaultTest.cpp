// Faults of the soft SKF device (its test build failing one named call, or
// the library gone, or the key unplugged) under signing and file
// decryption through the engine: the call fails with its message, an
// existing target file keeps its content, and once the engine object is
// gone no device library or engine module is left mapped.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fcntl.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "engine/CMSEngine.h"
#include "engine/PinRefusals.h"
#include "tests/faults/FaultSupport.h"
#include "tests/keyload/KeyLoadBed.h"

namespace tolmix::faulttest {
namespace {

namespace fs = std::filesystem;
using keyloadtest::ErrorUtf8;
using skftest::CaptureStdout;
using skftest::Identity;

constexpr char kPlain[] = "the content of the file\n";
constexpr char kKeep[] = "an earlier target\n";
constexpr char kNoUsbKey[] = "加载设备失败!请确认是否插入USBKEY!";
constexpr char kSignFailed[] = "P7签名操作失败!";

struct Outcome {
  int result = -2;
  std::string message;  // UTF-8
  std::string mapped;   // MappedModules() while the engine object lived
};

Outcome Failed(const std::string& why) {
  Outcome o;
  o.message = why;
  return o;
}

class SkfFaultTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sign_ = new Identity(skftest::MakeSm2("SM2 signer"));
    enc_ = new Identity(skftest::MakeSm2("SM2 encipherer"));
  }
  static void TearDownTestSuite() {
    delete sign_;
    delete enc_;
  }
  void SetUp() override {
    ASSERT_TRUE(bed_.Create(false));
    ASSERT_TRUE(bed_.ResetSkfToken());
    ASSERT_TRUE(bed_.skf.Import("C1", *sign_, enc_));
    ASSERT_TRUE(bed_.skf.WriteDeviceList({"SKFAPI.so"}));
    std::error_code ec;
    fs::create_symlink(GMENGINE_SO, bed_.skf.system_dir + "/gmEngine.so", ec);
    ASSERT_FALSE(ec);
    dir_ = bed_.skf.root + "/files";
    fs::create_directories(dir_);
    WriteFile(dir_ + "/plain.txt", kPlain);
    CMSEngine e;
    ASSERT_EQ(e.EnvelopeEncryptFile((dir_ + "/plain.txt").c_str(), (dir_ + "/env.pem").c_str(),
                                    enc_->certPem.c_str()),
              0)
        << ErrorUtf8(e);
  }
  void TearDown() override {
    unsetenv("SKFAPI_MOCK_FAIL");
    bed_.Remove();
  }

  // Each operation starts as a fresh process would: no PIN refused yet (a
  // fault that refused one would otherwise keep the later ones from the
  // device).
  Outcome Sign() {
    ForgetPinRefusals();
    CMSEngine e;
    e.SetInterface("SKF");
    e.SetPassword(skftest::kUserPin);
    std::string pem;
    Outcome o;
    CaptureStdout([&] { o.result = e.SignData(kPlain, sizeof kPlain - 1, 1, &pem); });
    o.message = ErrorUtf8(e);
    o.mapped = MappedModules();
    return o;
  }
  // Decrypts env.pem over an existing target "out.txt".
  Outcome DecryptFile() {
    ForgetPinRefusals();
    WriteFile(dir_ + "/out.txt", kKeep);
    CMSEngine e;
    e.SetInterface("SKF");
    e.SetPassword(skftest::kUserPin);
    Outcome o;
    CaptureStdout([&] {
      o.result = e.EnvelopeDecryptFile((dir_ + "/env.pem").c_str(), (dir_ + "/out.txt").c_str());
    });
    o.message = ErrorUtf8(e);
    return o;
  }
  std::string Target() const { return ReadAll(dir_ + "/out.txt"); }
  std::string Folder() const { return Listing(dir_); }

  static Identity* sign_;
  static Identity* enc_;
  keyloadtest::KeyLoadBed bed_;
  std::string dir_;
};
Identity* SkfFaultTest::sign_;
Identity* SkfFaultTest::enc_;

// SIGN / DECRYPT: the message expected, or null when that operation does
// not reach the failing call and must succeed.
struct Fault {
  const char* fail;
  const char* sign;
  const char* decrypt;
};

TEST_F(SkfFaultTest, EachFailingDeviceCallGivesItsMessageAndKeepsTheTarget) {
  const std::string kFolder = "env.pem\nout.txt\nplain.txt\n";
  const Fault faults[] = {
      {"SKF_ConnectDev=0x0A000023", "打开设备失败!", "打开设备失败!"},
      {"SKF_VerifyPIN=0x0A000024", "登录设备失败，口令是否正确,您还有0次尝试机会!!!!!!",
       "登录设备失败，口令是否正确,您还有0次尝试机会!!!!!!"},
      // No container gives a certificate: the probe has no message of its
      // own and the "P11" route (no P11_SKF.ini) none either.
      {"SKF_OpenContainer=0x0A000031", "", ""},
      {"SKF_ExportCertificate=0x0A00001B", "", ""},
      // Unplugged while the key works.
      {"SKF_ECCSignData=0x0A000023", kSignFailed, nullptr},
      // (SKFX_ECCDecryptDer: see UnwrapFailureIsNeverSuccess.)
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.fail);
    setenv("SKFAPI_MOCK_FAIL", f.fail, 1);
    Outcome s = Sign();
    EXPECT_EQ(s.result, f.sign ? -1 : 0) << s.message;
    // While the engine holds the signing key its modules are mapped: the
    // check below can see them.
    if (!f.sign) {
      EXPECT_NE(s.mapped.find(GMENGINE_SO), std::string::npos) << s.mapped;
    }
    if (f.sign) {
      EXPECT_EQ(s.message, f.sign);
    }
    Outcome d = DecryptFile();
    EXPECT_EQ(d.result, f.decrypt ? -1 : 0) << d.message;
    if (f.decrypt) {
      EXPECT_EQ(d.message, f.decrypt);
    }
    EXPECT_EQ(Target(), f.decrypt ? kKeep : kPlain);
    EXPECT_EQ(Folder(), kFolder);
    EXPECT_EQ(MappedModules(), "");
  }
}

// The device refuses to unwrap the content key.  OpenSSL's PKCS7_dataDecode
// would go on with a random content key (its guard against padding oracles)
// and fail only on the final padding check, which a random key passes about
// once in 256 tries: the call would report success and replace the target
// with noise.  The engine unwraps the key itself, so every try fails; 400
// tries catch a regression with a chance of about four in five.
TEST_F(SkfFaultTest, UnwrapFailureIsNeverSuccess) {
  setenv("SKFAPI_MOCK_FAIL", "SKFX_ECCDecryptDer=0x0A000023", 1);
  EXPECT_EQ(Sign().result, 0);  // signing does not unwrap
  int successes = 0, tries = 400;
  for (int i = 0; i < tries; ++i) {
    Outcome d = DecryptFile();
    if (d.result == 0 || Target() != kKeep) ++successes;
  }
  EXPECT_EQ(successes, 0) << "of " << tries;
  EXPECT_EQ(MappedModules(), "");
}

TEST_F(SkfFaultTest, LibraryGoneOrKeyUnpluggedGivesTheNoKeyMessage) {
  // Unplugged: the device is listed no more.
  const std::string conf = bed_.skf.token_dir + "/" + skftest::kDevice + "/device.conf";
  std::string text = ReadAll(conf);
  size_t at = text.find("present = 1");
  WriteFile(conf, at == std::string::npos ? text + "present = 0\n" : text.replace(at, 11, "present = 0"));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "unplugged" : "library gone");
    Outcome s = Sign();
    EXPECT_EQ(s.result, -1);
    EXPECT_EQ(s.message, kNoUsbKey);
    Outcome d = DecryptFile();
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(d.message, kNoUsbKey);
    EXPECT_EQ(Target(), kKeep);
    EXPECT_EQ(MappedModules(), "");
    ASSERT_TRUE(bed_.ResetSkfToken());  // plugged again, library removed
    ASSERT_TRUE(bed_.skf.Import("C1", *sign_, enc_));
    fs::remove(bed_.skf.system_dir + "/SKFAPI.so");
  }
}

// Runs OP in a child process whose files may not grow beyond LIMIT bytes
// (a write past it fails with EFBIG, SIGXFSZ ignored): a full disk.  The
// child's standard output goes nowhere; its result and message come back.
template <class Op>
Outcome RunWithFileLimit(rlim_t limit, Op op) {
  int fds[2];
  if (pipe(fds) != 0) return Failed("pipe");
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    signal(SIGXFSZ, SIG_IGN);
    rlimit r{limit, limit};
    setrlimit(RLIMIT_FSIZE, &r);
    Outcome o = op();
    std::string reply = std::to_string(o.result) + " " + o.message;
    ssize_t n = write(fds[1], reply.data(), reply.size());
    _exit(n == static_cast<ssize_t>(reply.size()) ? 0 : 1);
  }
  close(fds[1]);
  std::string reply;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) reply.append(buf, n);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  size_t space = reply.find(' ');
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || space == std::string::npos)
    return Failed("child failed: " + reply);
  Outcome o;
  o.result = std::stoi(reply.substr(0, space));
  o.message = reply.substr(space + 1);
  return o;
}

TEST_F(SkfFaultTest, FullDiskOrUnreadableSourceKeepsTheTarget) {
  const std::string big = dir_ + "/big.txt", bigEnv = dir_ + "/big.pem", out = dir_ + "/out.txt";
  WriteFile(big, std::string(256 * 1024, 'x'));
  {
    CMSEngine e;
    ASSERT_EQ(e.EnvelopeEncryptFile(big.c_str(), bigEnv.c_str(), enc_->certPem.c_str()), 0);
  }
  WriteFile(out, kKeep);
  const std::string folder = Folder();
  auto encrypt = [&](const std::string& src) {
    return [&, src] {
      CMSEngine e;
      Outcome o;
      o.result = e.EnvelopeEncryptFile(src.c_str(), out.c_str(), enc_->certPem.c_str());
      o.message = ErrorUtf8(e);
      return o;
    };
  };
  auto decrypt = [&](const std::string& src) {
    return [&, src] {
      CMSEngine e;
      e.SetInterface("SKF");
      e.SetPassword(skftest::kUserPin);
      Outcome o;
      o.result = e.EnvelopeDecryptFile(src.c_str(), out.c_str());
      o.message = ErrorUtf8(e);
      return o;
    };
  };
  struct Case {
    const char* what;
    std::function<Outcome()> op;
    rlim_t limit;
    const char* message;
  };
  const Case cases[] = {
      // The write fails where the message is closed and flushed.
      {"encrypt, disk full", encrypt(big), 64 * 1024, "加密失败!"},
      {"decrypt, disk full", decrypt(bigEnv), 64 * 1024, "写解密文件失败!"},
      // A folder is no regular file: refused before a byte is read (and,
      // for decryption, before any key is loaded).
      {"encrypt, source a folder", encrypt(dir_), RLIM_INFINITY, "读取源文件失败!"},
      {"decrypt, source a folder", decrypt(dir_), RLIM_INFINITY, "读取加密文件失败!"},
      {"encrypt, source gone", encrypt(dir_ + "/gone"), RLIM_INFINITY, "读取源文件失败!"},
      {"decrypt, source gone", decrypt(dir_ + "/gone"), RLIM_INFINITY, "读取加密文件失败!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(out, kKeep);
    Outcome o = RunWithFileLimit(c.limit, c.op);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.message, c.message);
    EXPECT_EQ(ReadAll(out), kKeep);
    EXPECT_EQ(Folder(), folder);
  }
}

// The user PIN's retry counter of the soft key, as its file holds it.
std::string RetriesLeft(const std::string& tokenDir) {
  for (const auto& entry : fs::recursive_directory_iterator(tokenDir)) {
    if (entry.path().filename() != "app.conf") continue;
    std::istringstream lines(ReadAll(entry.path().string()));
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("user_retries_left = ", 0) == 0) return line.substr(20);
    }
  }
  return "(none)";
}

// A key that cannot save its retry counter (no byte may be written) must
// not compare PINs at all: twelve wrong PINs and then the right one are all
// refused, and nothing is counted.  With room again, a wrong PIN counts and
// the right one restores the counter.
TEST_F(SkfFaultTest, AKeyThatCannotSaveItsCounterComparesNoPin) {
  auto sign = [](const char* pin) {
    CMSEngine e;
    e.SetInterface("SKF");
    e.SetPassword(pin);
    std::string pem;
    Outcome o;
    CaptureStdout([&] { o.result = e.SignData(kPlain, sizeof kPlain - 1, 1, &pem); });
    o.message = ErrorUtf8(e);
    return o;
  };
  const std::string tokens = bed_.skf.token_dir;
  const std::string all = RetriesLeft(tokens);  // the bed's full count
  ASSERT_GT(atoi(all.c_str()), 1) << all;
  const std::string oneLess = std::to_string(atoi(all.c_str()) - 1);
  Outcome full = RunWithFileLimit(0, [&] {
    int refused = 0;
    for (int i = 0; i < 12; ++i) refused += sign("00000000").result == -1;
    Outcome right = sign(skftest::kUserPin);
    right.message = std::to_string(refused) + " " + right.message;
    return right;
  });
  EXPECT_EQ(full.result, -1);
  EXPECT_EQ(full.message.substr(0, 3), "12 ") << full.message;
  EXPECT_EQ(RetriesLeft(tokens), all);

  Outcome wrong = sign("00000000");
  EXPECT_EQ(wrong.result, -1);
  EXPECT_EQ(RetriesLeft(tokens), oneLess);
  Outcome right = sign(skftest::kUserPin);
  EXPECT_EQ(right.result, 0) << right.message;
  EXPECT_EQ(RetriesLeft(tokens), all);
}

}  // namespace
}  // namespace tolmix::faulttest
