// `tolmix call` creates the control by ProgID through the registry: the
// tests here that drive the host run against a registry file of their own
// in which `tolmix register` has put the server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

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

[[maybe_unused]] ::testing::Environment* const kRegistered =
    ::testing::AddGlobalTestEnvironment(new RegisteredServer);

}  // namespace
