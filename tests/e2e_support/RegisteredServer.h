// For test programs that run the built `tolmix` host (header only): before
// the first test, `tolmix register` puts the server into a registry file of
// the program's own (TOLMIX_REGISTRY), and the chooser is told to cancel
// (AboutBox); the folder goes after the last test.  Include it in one file
// of the program; TOLMIX_HOST_BINARY names the host.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

namespace tolmix::test {

class RegisteredServer : public ::testing::Environment {
 public:
  void SetUp() override {
    char dir[] = "/tmp/tolmix-host-registry-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    setenv("TOLMIX_REGISTRY", (dir_ + "/registry.ini").c_str(), 1);
    setenv("TOLMIX_CHOOSER", "cancel", 1);
    std::string cmd = std::string("'") + TOLMIX_HOST_BINARY + "' register >/dev/null";
    ASSERT_EQ(system(cmd.c_str()), 0) << "tolmix register";
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
  }

 private:
  std::string dir_;
};

inline ::testing::Environment* const kRegisteredServer =
    ::testing::AddGlobalTestEnvironment(new RegisteredServer);

}  // namespace tolmix::test
