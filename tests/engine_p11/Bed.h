// One SoftHSM2 token bed for the whole test program (tests/pkcs11's
// TokenBed), with the engine modules linked into its system directory, and
// a private log folder per test.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "tests/pkcs11/TestSupport.h"

namespace tolmix::p11test {

constexpr char kFakeEngineModule[] = TOLMIX_FAKE_ENGINE;

class BedTest : public ::testing::Test {
 protected:
  // The shared bed, created on first use; fails the test when it cannot be.
  static TokenBed& Bed();
  static bool BedReady();

  void SetUp() override;
  void TearDown() override;

  // Links TARGET into the system directory as FILE_NAME (replacing it).
  void LinkModule(const char* target, const char* file_name) const;
  void UnlinkModule(const char* file_name) const;

  std::string LogPath() const { return log_dir_ + "/keyapi.log"; }
  void CreateLog() const;
  std::string ReadLog() const;

  std::string log_dir_;
};

}  // namespace tolmix::p11test
