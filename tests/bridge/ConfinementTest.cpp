// File confinement: how page paths map into a site's folder, and that what
// the control is handed opens the checked file and nothing else.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "bridge/Confinement.h"

namespace tolmix::bridge {
namespace {

namespace fs = std::filesystem;

TEST(ConfinementTest, PagePathsMapInsideOrAreRefused) {
  const std::string root = "/home/u/files/https_a.example";
  struct Case {
    const char* text;
    const char* parts;  // joined with "/", null: refused
  } cases[] = {
      {"a.txt", "a.txt"},
      {"C:\\work\\a.txt", "work/a.txt"},
      {"d:/work/./a.txt", "work/a.txt"},
      {"C:a.txt", "a.txt"},
      {"sub//a.txt", "sub/a.txt"},
      {"/home/u/files/https_a.example/sub/a.txt", "sub/a.txt"},
      {"\u8bc1\u4e66\\\u6d4b\u8bd5.pfx", "\u8bc1\u4e66/\u6d4b\u8bd5.pfx"},
      {"..\\..\\etc\\passwd", nullptr},
      {"C:\\work\\..\\a.txt", nullptr},
      {"sub/../a.txt", nullptr},
      {"/etc/passwd", nullptr},
      {"/home/u/files/https_a.example.evil/a.txt", nullptr},
      {"/home/u/files/https_b.example/a.txt", nullptr},
      {"\\\\server\\share\\a.txt", nullptr},
      {"//server/share", nullptr},
      {"C:\\", nullptr},
      {".", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> parts;
    std::string why;
    bool ok = SplitPagePath(c.text, root, &parts, &why);
    ASSERT_EQ(ok, c.parts != nullptr) << why;
    if (!ok) continue;
    std::string joined;
    for (const std::string& p : parts) joined += (joined.empty() ? "" : "/") + p;
    EXPECT_EQ(joined, c.parts);
  }
  std::vector<std::string> parts;
  std::string why;
  EXPECT_FALSE(SplitPagePath(std::string_view("a.txt\0.p7", 9), root, &parts, &why));
}

class ConfinementFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tolmix-confine-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    base_ = tmpl;
    root_ = base_ + "/site";
    fs::create_directories(root_ + "/sub");
    fs::create_directories(base_ + "/outside");
    Write(root_ + "/in.txt", "inside");
    Write(root_ + "/sub/deep.txt", "deep");
    Write(base_ + "/outside/secret.txt", "secret");
    fs::create_symlink(base_ + "/outside/secret.txt", root_ + "/link.txt");
    fs::create_symlink(base_ + "/outside", root_ + "/linkdir");
    fs::create_symlink("in.txt", root_ + "/inner-link.txt");  // a link that stays inside
    mkfifo((root_ + "/fifo").c_str(), 0600);
    fs::create_hard_link(base_ + "/outside/secret.txt", root_ + "/hard.txt");  // a second name inside
  }
  void TearDown() override { fs::remove_all(base_); }

  static void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
  static std::string Read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string base_, root_;
};

TEST_F(ConfinementFilesTest, ReadsOpenTheCheckedFileWithoutFollowingLinks) {
  Confinement c(root_);
  ASSERT_TRUE(c.ok());
  struct Case {
    const char* text;
    const char* content;  // null: refused
  } cases[] = {
      {"in.txt", "inside"},
      {"C:\\sub\\deep.txt", "deep"},
      {"link.txt", nullptr},
      {"inner-link.txt", nullptr},
      {"linkdir\\secret.txt", nullptr},
      {"missing.txt", nullptr},
      {"sub", nullptr},
      {"fifo", nullptr},
      {"hard.txt", nullptr},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.text);
    MappedPath m;
    std::string why;
    bool ok = c.Map(k.text, PathUse::kRead, &m, &why);
    ASSERT_EQ(ok, k.content != nullptr) << why;
    if (!ok) continue;
    // Swapping the name for a link after the check changes nothing: the
    // path goes through the descriptor already open.
    std::string name = root_ + "/" + (std::string(k.text) == "in.txt" ? "in.txt" : "sub/deep.txt");
    fs::rename(name, name + ".moved");
    fs::create_symlink(base_ + "/outside/secret.txt", name);
    EXPECT_EQ(Read(m.path), k.content);
    fs::remove(name);
    fs::rename(name + ".moved", name);
  }
}

TEST_F(ConfinementFilesTest, WritesLandInsideAndNeverThroughALink) {
  Confinement c(root_);
  struct Case {
    const char* text;
    const char* lands;  // file under root_, null: refused
  } cases[] = {
      {"new.p7", "new.p7"},
      {"C:\\sub\\new.p7", "sub/new.p7"},
      {"in.txt", "in.txt"},
      {"link.txt", nullptr},
      {"linkdir\\x.p7", nullptr},
      {"nofolder\\x.p7", nullptr},
      {"fifo", nullptr},
      {"hard.txt", nullptr},
      {"in.txt/", nullptr},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.text);
    MappedPath m;
    std::string why;
    bool ok = c.Map(k.text, PathUse::kWrite, &m, &why);
    ASSERT_EQ(ok, k.lands != nullptr) << why;
    if (!ok) continue;
    { std::ofstream(m.path) << "written"; }
    EXPECT_TRUE(Confinement::Finish(m, true));
    EXPECT_EQ(Read(root_ + "/" + k.lands), "written");
  }
  EXPECT_EQ(Read(base_ + "/outside/secret.txt"), "secret");
  EXPECT_EQ(fs::directory_iterator(base_ + "/outside")->path().filename(), "secret.txt");
}

}  // namespace
}  // namespace tolmix::bridge
