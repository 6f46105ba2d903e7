// The one sandbox of this test program, made on first use and removed at
// exit, and the fixture that needs it.
#pragma once

#include <gtest/gtest.h>

#include "tests/e2e_support/E2eBed.h"

namespace tolmix::e2e {

inline Bed& TheBed() {
  static Bed bed(TOLMIX_HOST);
  return bed;
}

class SandboxCase : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(TheBed().Ok()) << TheBed().Problem(); }
  Bed& bed() { return TheBed(); }
  std::string PkiText(const std::string& file) { return ReadFile(bed().Pki(file)); }
};

}  // namespace tolmix::e2e
