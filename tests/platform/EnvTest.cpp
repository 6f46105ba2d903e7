#include "platform/Env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace tolmix::platform {
namespace {

// Sets variables for one test and puts the old values back afterwards.
class EnvTest : public ::testing::Test {
 protected:
  void Set(const char* name, const char* value) {
    if (!saved_.count(name)) {
      const char* old = getenv(name);
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value) setenv(name, value, 1); else unsetenv(name);
  }
  void TearDown() override {
    for (auto& [name, value] : saved_) {
      if (value) setenv(name.c_str(), value->c_str(), 1); else unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

TEST_F(EnvTest, SystemDir) {
  Set("TOLMIX_SYSTEM_DIR", nullptr);
  EXPECT_EQ(SystemDir(), TOLMIX_DEFAULT_SYSTEM_DIR);
  Set("TOLMIX_SYSTEM_DIR", "");
  EXPECT_EQ(SystemDir(), TOLMIX_DEFAULT_SYSTEM_DIR);
  Set("TOLMIX_SYSTEM_DIR", "/opt/sys//");
  EXPECT_EQ(SystemDir(), "/opt/sys");
}

TEST_F(EnvTest, HomeBasedDefaults) {
  for (const char* v : {"TOLMIX_LOG_DIR", "XDG_STATE_HOME", "TOLMIX_STORE_DIR",
                        "TOLMIX_REGISTRY"}) {
    Set(v, nullptr);
  }
  Set("HOME", "/home/u/");
  EXPECT_EQ(LogDir(), "/home/u/.local/state/tolmix");
  EXPECT_EQ(StoreDir(), "/home/u/.local/share/tolmix");
  EXPECT_EQ(RegistryPath(), "/home/u/.config/tolmix/registry.ini");
  Set("XDG_STATE_HOME", "relative/state");  // not absolute: ignored
  EXPECT_EQ(LogDir(), "/home/u/.local/state/tolmix");
  Set("XDG_STATE_HOME", "/xdg/state");
  EXPECT_EQ(LogDir(), "/xdg/state/tolmix");
  Set("TOLMIX_LOG_DIR", "/logs/");
  Set("TOLMIX_STORE_DIR", "/store");
  Set("TOLMIX_REGISTRY", "/r/reg.ini");
  EXPECT_EQ(LogDir(), "/logs");
  EXPECT_EQ(StoreDir(), "/store");
  EXPECT_EQ(RegistryPath(), "/r/reg.ini");
}

TEST_F(EnvTest, TempDirEndsInSlash) {
  Set("TMPDIR", nullptr);
  EXPECT_EQ(TempDir(), "/tmp/");
  Set("TMPDIR", "/var/tmp");
  EXPECT_EQ(TempDir(), "/var/tmp/");
  Set("TMPDIR", "/var/tmp/");
  EXPECT_EQ(TempDir(), "/var/tmp/");
}

TEST_F(EnvTest, UnsetCommandsHaveDefaults) {
  Set("TOLMIX_CHOOSER", "");
  Set("TOLMIX_OPEN_COMMAND", nullptr);
  EXPECT_EQ(ChooserOverride(), "");
  EXPECT_EQ(OpenCommand(), "xdg-open");
  EXPECT_EQ(Variable(nullptr), "");
}

}  // namespace
}  // namespace tolmix::platform
