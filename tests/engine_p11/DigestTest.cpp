// Digests by algorithm code: standard vectors (made with the openssl
// command), the size query, the log records, and code 11 through a
// stand-in "gmEngine" whose SHA-1 registration must not outlive the call.
#include <cstring>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "engine/CMSEngine.h"
#include "tests/engine_p11/Bed.h"
#include "tests/engine_p11/ProcessState.h"

namespace tolmix::p11test {
namespace {

// 加载引擎库gmEngine.dll失败
constexpr char kGmLoadFailed[] =
    "\xBC\xD3\xD4\xD8\xD2\xFD\xC7\xE6\xBF\xE2gmEngine.dll\xCA\xA7\xB0\xDC";
constexpr char kAbcSha1[] = "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=";
constexpr char kFakeDigest[] = "WlpaWlpaWlpaWlpaWlpaWlpaWlo=";  // twenty 0x5A bytes

class DigestTest : public BedTest {
 protected:
  // ComputeDigest on a fresh engine; "" with *RESULT set on failure.
  static std::string Digest(const std::string& data, int16_t algo, int* result = nullptr,
                            std::string* error = nullptr) {
    CMSEngine engine;
    char out[CMSEngine::kDigestTextSize];
    unsigned len = 0;
    int r = engine.ComputeDigest(data.data(), static_cast<int>(data.size()), algo, out, &len);
    if (result) *result = r;
    if (error) {
      char text[CMSEngine::kErrorTextSize];
      engine.GetErrorText(text);
      *error = text;
    }
    if (r != 0) return "";
    EXPECT_EQ(len, strlen(out));
    return out;
  }
};

TEST_F(DigestTest, StandardVectors) {
  struct Vector {
    int16_t algo;
    const char* data;
    const char* base64;
  };
  const Vector vectors[] = {
      {2, "abc", "kAFQmDzST7DWlj99KOF/cg=="},
      {2, "", "1B2M2Y8AsgTpgAmY7PhCfg=="},
      {3, "abc", kAbcSha1},
      {3, "", "2jmj7l5rSw0yVb/vlWAYkK/YBwk="},
      {4, "abc", "Iwl9IjQF2CKGQqR3vaJVsyqtvOS9oLP342ydpw=="},
      {5, "abc", "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0="},
      {6, "abc", "ywB1P0WjXou1oD1pmsZQBycsMqsO3tFjGotgWkP/W+2AhgcroefMI1i67KE0yCWn"},
      {7, "abc",
       "3a81oZNherrMQXNJriBBMRLm+k6JqX6iCp7u5ktV05ohkpkqJ0/BqDa6PCOj/uu9RU1EI2Q86A4qmslPpUyknw=="},
  };
  for (const Vector& v : vectors) {
    SCOPED_TRACE(v.algo);
    int r = -2;
    EXPECT_EQ(Digest(v.data, v.algo, &r), v.base64);
    EXPECT_EQ(r, 0);
  }
}

TEST_F(DigestTest, SizeQueryAndMissingArguments) {
  CMSEngine engine;
  for (int16_t algo : {int16_t{1}, int16_t{3}, int16_t{99}}) {
    unsigned len = 0;
    EXPECT_EQ(engine.ComputeDigest("abc", 3, algo, nullptr, &len), 0);
    EXPECT_EQ(len, 128u);
  }
  char out[CMSEngine::kDigestTextSize] = "unchanged";
  unsigned len = 7;
  EXPECT_EQ(engine.ComputeDigest(nullptr, 3, 3, out, &len), -1);
  EXPECT_EQ(engine.ComputeDigest("abc", 3, 3, out, nullptr), -1);
  EXPECT_EQ(engine.ComputeDigest("abc", -1, 3, out, &len), -1);
  EXPECT_STREQ(out, "unchanged");
  EXPECT_EQ(len, 7u);
}

TEST_F(DigestTest, UnknownCodesLogOnlyWhenTheLogExists) {
  for (int16_t algo : {int16_t{0}, int16_t{1}, int16_t{8}, int16_t{12}, int16_t{-5}}) {
    int r = 0;
    EXPECT_EQ(Digest("abc", algo, &r), "");
    EXPECT_EQ(r, -1);
  }
  EXPECT_FALSE(std::ifstream(LogPath()).good()) << "the log is never created";

  CreateLog();
  int r = 0;
  std::string error;
  Digest("abc", 12, &r, &error);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(error, "");  // no message of its own
  std::string log = ReadLog();
  const std::string tail = "--digest failed: unknown digest mech... 12\r\n";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
  EXPECT_NE(log.find("Digest.cpp"), std::string::npos);
  EXPECT_EQ(log.find('\n'), log.size() - 1);  // exactly one record
}

TEST_F(DigestTest, Code11WithoutTheModuleFailsWithTheLoadingMessage) {
  UnlinkModule("gmEngine.so");
  auto before = ListedEngineIds();
  int r = 0;
  std::string error;
  Digest("abc", 11, &r, &error);
  EXPECT_NE(r, 0);
  EXPECT_EQ(error, kGmLoadFailed);
  EXPECT_EQ(ListedEngineIds(), before);
}

// The stand-in registers its SHA-1 as a default when it loads: code 11 gets
// it; once the engine object is gone, SHA-1 is OpenSSL's own again, for code
// 3 and code 11 of a later call on a process without the module, and the
// module is unloaded.
TEST_F(DigestTest, Code11RegistrationDoesNotOutliveTheCall) {
  LinkModule(kFakeEngineModule, "gmEngine.so");
  auto before = ListedEngineIds();
  int r = -2;
  EXPECT_EQ(Digest("abc", 11, &r), kFakeDigest);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(ListedEngineIds(), before);
  EXPECT_FALSE(IsMapped("fake_digest_engine.so"));
  EXPECT_EQ(Digest("abc", 3), kAbcSha1);

  // On one engine object: the next operation's ReleaseKeyAndCert ends it.
  CMSEngine engine;
  char out[CMSEngine::kDigestTextSize];
  unsigned len = 0;
  ASSERT_EQ(engine.ComputeDigest("abc", 3, 11, out, &len), 0);
  EXPECT_STREQ(out, kFakeDigest);
  ASSERT_EQ(engine.ComputeDigest("abc", 3, 3, out, &len), 0);
  EXPECT_STREQ(out, kAbcSha1);
  EXPECT_FALSE(IsMapped("fake_digest_engine.so"));

  UnlinkModule("gmEngine.so");
  EXPECT_EQ(Digest("abc", 3), kAbcSha1);
}

}  // namespace
}  // namespace tolmix::p11test
