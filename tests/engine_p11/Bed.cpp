#include "tests/engine_p11/Bed.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <openssl/engine.h>

#include "engine/EngineSlots.h"

namespace tolmix::p11test {
namespace fs = std::filesystem;
namespace {

TokenBed* g_bed = nullptr;
bool g_ready = false;

// Removes the bed when the program ends.
class BedCleanup : public ::testing::Environment {
 public:
  void TearDown() override {
    if (g_bed) g_bed->Remove();
    delete g_bed;
    g_bed = nullptr;
  }
};
[[maybe_unused]] ::testing::Environment* const g_cleanup =
    ::testing::AddGlobalTestEnvironment(new BedCleanup);

}  // namespace

TokenBed& BedTest::Bed() {
  if (!g_bed) {
    EnsureEngineSlots();  // before any engine use of the process
    g_bed = new TokenBed;
    g_ready = g_bed->Create();
  }
  return *g_bed;
}

bool BedTest::BedReady() {
  Bed();
  return g_ready;
}

void BedTest::SetUp() {
  ASSERT_TRUE(BedReady()) << "SoftHSM2 token could not be provisioned";
  // OpenSSL lists its built-in "dynamic" engine once per process, at first
  // use; do that here so that engine-list snapshots compare like with like.
  ENGINE_load_dynamic();
  ASSERT_TRUE(Bed().WriteDeviceList({"libsofthsm2.so"}));
  setenv("TOLMIX_SYSTEM_DIR", Bed().system_dir.c_str(), 1);
  log_dir_ = Bed().root + "/log";
  std::error_code ec;
  fs::remove_all(log_dir_, ec);
  fs::create_directories(log_dir_);
  setenv("TOLMIX_LOG_DIR", log_dir_.c_str(), 1);
}

void BedTest::TearDown() {
  unsetenv("TOLMIX_LOG_DIR");
  unsetenv("TOLMIX_FAKE_ENGINE_FAIL_INIT");
}

void BedTest::LinkModule(const char* target, const char* file_name) const {
  UnlinkModule(file_name);
  std::error_code ec;
  fs::create_symlink(target, Bed().system_dir + "/" + file_name, ec);
  ASSERT_FALSE(ec) << ec.message();
}

void BedTest::UnlinkModule(const char* file_name) const {
  std::error_code ec;
  fs::remove(Bed().system_dir + "/" + file_name, ec);
}

void BedTest::CreateLog() const { std::ofstream(LogPath(), std::ios::binary); }

std::string BedTest::ReadLog() const {
  std::ifstream in(LogPath(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace tolmix::p11test
