// A private log folder for one test: $TOLMIX_LOG_DIR points at a fresh
// temporary folder for the test's life.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tolmix::test {

class LogDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tolmix-engine-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    const char* old = getenv("TOLMIX_LOG_DIR");
    had_old_ = old != nullptr;
    if (old) old_ = old;
    setenv("TOLMIX_LOG_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (had_old_)
      setenv("TOLMIX_LOG_DIR", old_.c_str(), 1);
    else
      unsetenv("TOLMIX_LOG_DIR");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string LogPath() const { return dir_ + "/keyapi.log"; }
  void CreateLog() const { std::ofstream(LogPath(), std::ios::binary); }
  std::string ReadLog() const {
    std::ifstream in(LogPath(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string dir_;

 private:
  bool had_old_ = false;
  std::string old_;
};

}  // namespace tolmix::test
