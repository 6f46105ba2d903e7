// File targets and sources of EncryptFile and DecryptFile through
// `tolmix call`: special files are refused promptly with the member's
// message, a link planted by another user in a shared sticky folder is not
// followed, targets keep or get the right mode, and new files of an
// interrupted run go with the next run on the same target.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e_files/CallBed.h"

namespace tolmix::e2etest {
namespace {

namespace fs = std::filesystem;

constexpr char kPeerUser[] = "tolmix-peer";  // the second user, made by the test
constexpr char kPlain[] = "plain text of the file tests\n";
constexpr char kPrecious[] = "precious";

// Kills a call that hangs (a FIFO waited on); a prompt refusal takes
// well under a second.
class Timeout {
 public:
  Timeout() { TheBed().SetTimeout(20); }
  ~Timeout() { TheBed().SetTimeout(0); }
};

struct Member {
  const char* name;
  const char* readMessage;
  const char* writeMessage;
};
constexpr Member kEncrypt{"EncryptFile", "读取源文件失败!", "写加密文件失败!"};
constexpr Member kDecrypt{"DecryptFile", "读取加密文件失败!", "写解密文件失败!"};

class FileSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = TheBed().Scratch("files");
    fs::create_directories(dir_);
    plain_ = dir_ + "/plain.txt";
    e2e::WriteFile(plain_, kPlain);
    envelope_ = dir_ + "/envelope.p7";
    std::vector<std::string> a =
        Call({{"EncryptFile", plain_, envelope_, "@" + TheBed().Pki("skf-sm2-enc.pem")}});
    ASSERT_EQ(a[0], "true");
  }

  // Runs M with SOURCE and TARGET on the SKF route; the result and the last
  // error, and how long the call took.
  std::vector<std::string> Run(const Member& m, const std::string& source,
                               const std::string& target, double* seconds = nullptr) {
    Timeout limit;
    std::vector<std::string> first{m.name, source, target};
    if (&m == &kEncrypt) first.push_back("@" + TheBed().Pki("skf-sm2-enc.pem"));
    auto start = std::chrono::steady_clock::now();
    std::vector<std::string> out = Call({{"SetPasswd", "SKF", TheBed().Var("TOLMIX_SANDBOX_SKF_PIN"), "1"}, first,
                                         {"GetLastErrorInfo", "0"}});
    if (seconds) {
      *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    return {out[1], out[2]};
  }
  std::string SourceOf(const Member& m) const { return &m == &kEncrypt ? plain_ : envelope_; }

  std::string dir_, plain_, envelope_;
};

mode_t Umask() {
  mode_t m = umask(0);
  umask(m);
  return m;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// Every target: absent or a regular file is written (with the right mode),
// anything else is refused with the member's write message and stays as it
// was; the folder holds no new file afterwards.
TEST_F(FileSafety, TargetsAreWrittenOnlyWhenAbsentOrRegular) {
  struct Case {
    const char* what;
    std::function<std::string(const std::string& dir)> make;  // the target's path
    bool written;
    mode_t mode;  // the target's mode afterwards (written cases)
  };
  const mode_t fresh = 0666 & ~Umask();
  const Case cases[] = {
      {"absent", [](const std::string& d) { return d + "/new.out"; }, true, fresh},
      {"regular, 0640",
       [](const std::string& d) {
         e2e::WriteFile(d + "/old.out", kPrecious);
         chmod((d + "/old.out").c_str(), 0640);
         return d + "/old.out";
       },
       true, 0640},
      {"own link to a regular file",
       [](const std::string& d) {
         e2e::WriteFile(d + "/pointee", kPrecious);
         fs::create_symlink("pointee", d + "/link.out");
         return d + "/link.out";
       },
       true, 0},
      {"FIFO",
       [](const std::string& d) {
         mkfifo((d + "/fifo.out").c_str(), 0600);
         return d + "/fifo.out";
       },
       false, 0},
      {"folder",
       [](const std::string& d) {
         fs::create_directory(d + "/folder.out");
         return d + "/folder.out";
       },
       false, 0},
      {"link to a FIFO",
       [](const std::string& d) {
         mkfifo((d + "/fifo2").c_str(), 0600);
         fs::create_symlink(d + "/fifo2", d + "/fifolink.out");
         return d + "/fifolink.out";
       },
       false, 0},
      // A device node of the test's own where it may make one: a fault that
      // renamed over the target must never replace the machine's /dev/null.
      // Elsewhere /dev/null, which a user cannot rename over anyway.
      {"device",
       [](const std::string& d) {
         const std::string node = d + "/null.out";
         if (geteuid() == 0 && mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) return node;
         return std::string("/dev/null");
       },
       false, 0},
      {"name ending in a slash", [](const std::string& d) { return d + "/"; }, false, 0},
  };
  for (const Member* m : {&kEncrypt, &kDecrypt}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(m->name) + ": " + c.what);
      const std::string dir = TheBed().Scratch("targets");
      fs::create_directories(dir);
      const std::string target = c.make(dir);
      const mode_t before = ModeOf(target);
      const std::string listing = Listing(dir);
      double seconds = 0;
      std::vector<std::string> r = Run(*m, SourceOf(*m), target, &seconds);
      EXPECT_LT(seconds, 10.0);
      if (c.written) {
        EXPECT_EQ(r[0], "true") << r[1];
        // A link is written through; the link stays a link.
        const std::string file = fs::is_symlink(target) ? dir + "/pointee" : target;
        if (m == &kDecrypt) {
          EXPECT_EQ(e2e::ReadFile(file), kPlain);
        } else {
          EXPECT_TRUE(e2e::ReadFile(file).starts_with("-----BEGIN PKCS7-----\n"));
        }
        if (c.mode != 0) {
          EXPECT_EQ(ModeOf(target) & 07777, c.mode);
        }
        EXPECT_EQ(ModeOf(target) & S_IFMT, before ? before & S_IFMT : S_IFREG);
      } else {
        EXPECT_EQ(r[0], "false");
        EXPECT_EQ(r[1], m->writeMessage);
        EXPECT_EQ(ModeOf(target), before) << "the target is left as it was";
        EXPECT_EQ(Listing(dir), listing) << "no new file left behind";
      }
    }
  }
}

// Sources must be regular files: a FIFO without a writer, an endless
// device and a folder are refused at once with the member's read message,
// and nothing is left beside the target.
TEST_F(FileSafety, SourcesMustBeRegularFiles) {
  const std::string fifo = dir_ + "/source.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string target = dir_ + "/target.out";
  for (const Member* m : {&kEncrypt, &kDecrypt}) {
    for (const std::string& source : {fifo, std::string("/dev/zero"), dir_ + "/sub"}) {
      SCOPED_TRACE(std::string(m->name) + ": " + source);
      fs::create_directories(dir_ + "/sub");
      e2e::WriteFile(target, kPrecious);
      const std::string listing = Listing(dir_);
      double seconds = 0;
      std::vector<std::string> r = Run(*m, source, target, &seconds);
      EXPECT_EQ(r[0], "false");
      EXPECT_EQ(r[1], m->readMessage);
      EXPECT_LT(seconds, 10.0);
      EXPECT_EQ(e2e::ReadFile(target), kPrecious);
      EXPECT_EQ(Listing(dir_), listing);
    }
  }
}

// A run killed halfway leaves its new file ("<target>.tmp" and 12 hex
// digits) behind; the next run on the same target removes it, but never the
// new file of a run that is still writing (it holds a lock on it) nor a
// file that only looks alike.
TEST_F(FileSafety, NewFilesOfInterruptedRunsGoWithTheNextRun) {
  const std::string target = dir_ + "/report.out";
  e2e::WriteFile(dir_ + "/report.out.tmp0123456789ab", "left by a dead run");
  e2e::WriteFile(dir_ + "/report.out.tmpabcdef012345", "being written");
  e2e::WriteFile(dir_ + "/report.out.tmp-not-ours", "similar name");
  int live = open((dir_ + "/report.out.tmpabcdef012345").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(live, 0);
  ASSERT_EQ(flock(live, LOCK_EX), 0);  // as a live run holds it
  std::vector<std::string> r = Run(kDecrypt, envelope_, target);
  close(live);
  EXPECT_EQ(r[0], "true") << r[1];
  EXPECT_EQ(e2e::ReadFile(target), kPlain);
  EXPECT_EQ(Listing(dir_),
            "envelope.p7\nplain.txt\nreport.out\nreport.out.tmp-not-ours\n"
            "report.out.tmpabcdef012345\n");
}

// The kernel's protected_symlinks rule, applied whatever the machine's
// setting: in a sticky, world-writable folder a link is followed only when
// it belongs to the caller or to the folder's owner.  The second user is
// made here (CI runs as root).
TEST_F(FileSafety, LinksInSharedStickyFoldersFollowTheKernelsRule) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a second user and hand it a link";
  bool made = false;
  if (getpwnam(kPeerUser) == nullptr) {
    ASSERT_EQ(std::system((std::string("useradd --system --no-create-home --shell "
                                       "/usr/sbin/nologin ") + kPeerUser + " 2>/dev/null")
                              .c_str()),
              0);
    made = true;
  }
  // The user is the test's: it leaves the machine with the test.
  struct Remove {
    bool made;
    ~Remove() {
      if (!made) return;
      // Nothing to do about a failure here but leave the user behind.
      int rc = std::system((std::string("userdel ") + kPeerUser + " 2>/dev/null").c_str());
      static_cast<void>(rc);
    }
  } remove{made};
  const passwd* peer = getpwnam(kPeerUser);
  ASSERT_NE(peer, nullptr);
  const uid_t peerUid = peer->pw_uid;
  const gid_t peerGid = peer->pw_gid;

  struct Case {
    const char* what;
    uid_t folderOwner;
    mode_t folderMode;
    uid_t linkOwner;
    bool followed;
  };
  const Case cases[] = {
      {"another user's link in a shared sticky folder", 0, 01777, peerUid, false},
      {"own link in a shared sticky folder", 0, 01777, 0, true},
      {"the folder owner's link in their sticky folder", peerUid, 01777, peerUid, true},
      {"another user's link in a folder that is not sticky", 0, 0777, peerUid, true},
  };
  for (const Member* m : {&kEncrypt, &kDecrypt}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(m->name) + ": " + c.what);
      const std::string shared = TheBed().Scratch("shared");
      fs::create_directories(shared);
      const std::string victim = TheBed().Scratch("notes.txt");  // the user's own file
      e2e::WriteFile(victim, kPrecious);
      const std::string link = shared + "/report-out.p7";
      fs::create_symlink(victim, link);
      ASSERT_EQ(lchown(link.c_str(), c.linkOwner, c.linkOwner ? peerGid : 0), 0);
      ASSERT_EQ(chown(shared.c_str(), c.folderOwner, c.folderOwner ? peerGid : 0), 0);
      ASSERT_EQ(chmod(shared.c_str(), c.folderMode), 0);

      std::vector<std::string> r = Run(*m, SourceOf(*m), link);
      EXPECT_TRUE(fs::is_symlink(link));
      if (c.followed) {
        EXPECT_EQ(r[0], "true") << r[1];
        EXPECT_NE(e2e::ReadFile(victim), kPrecious);
      } else {
        EXPECT_EQ(r[0], "false");
        EXPECT_EQ(r[1], m->writeMessage);
        EXPECT_EQ(e2e::ReadFile(victim), kPrecious);
        EXPECT_EQ(Listing(shared), "report-out.p7\n");
      }
    }
  }
}

}  // namespace
}  // namespace tolmix::e2etest
