// The process's memory of refused PINs: a pair is known only for the
// device that refused it, the guard table answers as the functions do, and
// the memory stays bounded, oldest first.
#include <string>

#include <gtest/gtest.h>

#include "engine/PinRefusals.h"

namespace tolmix {
namespace {

class PinRefusalsTest : public ::testing::Test {
 protected:
  void SetUp() override { ForgetPinRefusals(); }
  void TearDown() override { ForgetPinRefusals(); }
};

TEST_F(PinRefusalsTest, APairIsKnownForItsDeviceOnly) {
  const std::string token = PinGuardP11Device("/lib/a.so", "0001", "Tok");
  const std::string other = PinGuardP11Device("/lib/a.so", "0002", "Tok");
  const std::string key = PinGuardSkfDevice("/lib/skf.so", "Key1");
  RememberPinRefusal(token, "123456");
  struct Case {
    const std::string& device;
    const char* pin;
    bool known;
  } cases[] = {
      {token, "123456", true},
      {token, "1234567", false},  // another PIN
      {token, "", false},
      {other, "123456", false},   // another token of the same module
      {key, "123456", false},     // another kind of device
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pin);
    EXPECT_EQ(PinRefusalKnown(c.device, c.pin), c.known);
    // The table the engine modules get answers the same.
    const PinGuard& guard = ProcessPinGuard();
    EXPECT_EQ(guard.refused_before(c.device.data(), c.device.size(), c.pin) != 0, c.known);
  }
  // The identity's parts cannot run into each other.
  EXPECT_FALSE(PinRefusalKnown(PinGuardP11Device("/lib/a.so", "00", "01Tok"), "123456"));
}

TEST_F(PinRefusalsTest, MemoryKeepsTheLatest64) {
  const std::string device = PinGuardSkfDevice("/lib/skf.so", "Key1");
  for (int i = 0; i < 70; ++i) RememberPinRefusal(device, std::to_string(i).c_str());
  EXPECT_FALSE(PinRefusalKnown(device, "0"));
  EXPECT_FALSE(PinRefusalKnown(device, "5"));
  EXPECT_TRUE(PinRefusalKnown(device, "6"));
  EXPECT_TRUE(PinRefusalKnown(device, "69"));
  ForgetPinRefusals();
  EXPECT_FALSE(PinRefusalKnown(device, "69"));
}

}  // namespace
}  // namespace tolmix
