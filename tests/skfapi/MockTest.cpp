// The test build of the soft SKF library (call record, forced failures,
// a build without one export) and what the library exports at all.
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "tests/skfapi/SkfTestSupport.h"

namespace skftest {
namespace {

// The 55 names a device layer looks up, in its look-up order.
constexpr std::array<const char*, 55> kStandardNames = {
    "SKF_EnumDev", "SKF_ConnectDev", "SKF_DisConnectDev", "SKF_GetDevState", "SKF_GetDevInfo",
    "SKF_ClearSecureState", "SKF_ChangePIN", "SKF_GetPINInfo", "SKF_VerifyPIN",
    "SKF_EnumApplication", "SKF_OpenApplication", "SKF_CloseApplication", "SKF_CreateContainer",
    "SKF_DeleteContainer", "SKF_OpenContainer", "SKF_CloseContainer", "SKF_EnumContainer",
    "SKF_GenRandom", "SKF_GenExtRSAKey", "SKF_GenRSAKeyPair", "SKF_ImportRSAKeyPair",
    "SKF_RSASignData", "SKF_RSAVerify", "SKF_ExtRSAPubKeyOperation", "SKF_ExtRSAPriKeyOperation",
    "SKF_GenECCKeyPair", "SKF_ImportECCKeyPair", "SKF_ECCSignData", "SKF_ECCVerify",
    "SKF_ExtECCEncrypt", "SKF_ExtECCDecrypt", "SKF_ExtECCSign", "SKF_ExtECCVerify",
    "SKF_DigestInit", "SKF_Digest", "SKF_DigestUpdate", "SKF_DigestFinal", "SKF_ExportPublicKey",
    "SKF_ImportSessionKey", "SKF_ECCExportSessionKey", "SKF_EncryptInit", "SKF_Encrypt",
    "SKF_EncryptUpdate", "SKF_EncryptFinal", "SKF_ImportCertificate", "SKF_ExportCertificate",
    "SKF_DecryptInit", "SKF_Decrypt", "SKF_DecryptUpdate", "SKF_DecryptFinal", "SKF_SetSymmKey",
    "SKF_CloseHandle", "SKF_DevAuth", "SKF_DeleteApplication", "SKF_CreateApplication"};

const std::set<std::string> kExtensions = {"SKFX_ECCDecrypt", "SKFX_ECCDecryptDer",
                                           "SKFX_RSADecrypt", "SKFX_InitApplication",
                                           "SKFX_ImportKeyPair"};

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Names in the dynamic symbol table of the module at PATH.
std::set<std::string> DynamicSymbols(const char* path) {
  std::set<std::string> names;
  std::string cmd = std::string("nm -D --defined-only '") + path + "'";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return names;
  char line[512];
  while (fgets(line, sizeof line, p)) {
    std::istringstream fields(line);
    std::string addr, type, name;
    if (fields >> addr >> type >> name) names.insert(name);
  }
  pclose(p);
  return names;
}

class SkfMockTest : public SkfTest {
 protected:
  std::string LogPath() const { return token_ + ".calls"; }
};

TEST_F(SkfMockTest, RecordsOneLinePerCallAndNoSecrets) {
  Load(SKFAPI_MOCK_SO);
  setenv("SKFAPI_MOCK_LOG", LogPath().c_str(), 1);
  Provision();
  OpenApp(true);
  char wrong[] = "00000000";
  ULONG retries = 0;
  EXPECT_EQ(api_->VerifyPIN(app_, USER_TYPE, wrong, &retries), SAR_PIN_INCORRECT);
  EXPECT_EQ(api_->GenRandom(dev_, nullptr, 0), SAR_NOTSUPPORTYETERR);

  std::vector<std::string> expected = {
      "SKFX_InitApplication 0x00000000", "SKFX_ImportKeyPair 0x00000000",
      "SKFX_ImportKeyPair 0x00000000",   "SKFX_ImportKeyPair 0x00000000",
      "SKF_ConnectDev 0x00000000",       "SKF_OpenApplication 0x00000000",
      "SKF_VerifyPIN 0x00000000",        "SKF_VerifyPIN 0x0A000024",
      "SKF_GenRandom 0x0A000003"};
  EXPECT_EQ(Lines(LogPath()), expected);
}

TEST_F(SkfMockTest, ForcedFailureSkipsTheCall) {
  Load(SKFAPI_MOCK_SO);
  Provision();
  setenv("SKFAPI_MOCK_LOG", LogPath().c_str(), 1);
  setenv("SKFAPI_MOCK_FAIL", "SKF_EnumContainer=1,SKF_VerifyPIN=0x0A000025", 1);
  OpenApp(false);
  char pin[] = "12345678";
  ULONG retries = 77;
  EXPECT_EQ(api_->VerifyPIN(app_, USER_TYPE, pin, &retries), SAR_PIN_LOCKED);
  EXPECT_EQ(retries, 77u);  // the forced call did not run
  ULONG size = 0;
  EXPECT_EQ(api_->EnumContainer(app_, nullptr, &size), 1u);
  setenv("SKFAPI_MOCK_FAIL", "SKF_VerifyPINX=5", 1);  // names must match whole
  EXPECT_EQ(api_->VerifyPIN(app_, USER_TYPE, pin, &retries), SAR_OK);
  unsetenv("SKFAPI_MOCK_FAIL");
  EXPECT_EQ(api_->EnumContainer(app_, nullptr, &size), SAR_OK);

  // Nothing was spent from the real counter by the forced refusal.
  ULONG max = 0, left = 0;
  ASSERT_EQ(api_->GetPINInfo(app_, USER_TYPE, &max, &left, nullptr), SAR_OK);
  EXPECT_EQ(left, 5u);
  std::vector<std::string> lines = Lines(LogPath());
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[2], "SKF_VerifyPIN 0x0A000025");
  EXPECT_EQ(lines[3], "SKF_EnumContainer 0x00000001");
}

TEST_F(SkfMockTest, RealLibraryNeitherRecordsNorFails) {
  setenv("SKFAPI_MOCK_LOG", LogPath().c_str(), 1);
  setenv("SKFAPI_MOCK_FAIL", "SKF_EnumDev=1", 1);
  ULONG size = 0;
  EXPECT_EQ(api_->EnumDev(TRUE, nullptr, &size), SAR_OK);
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
}

TEST_F(SkfMockTest, ExportsAreTheStandardNamesAndDocumentedExtensions) {
  for (const char* path : {SKFAPI_SO, SKFAPI_MOCK_SO, SKFAPI_MOCK_NO_DEVAUTH_SO}) {
    Load(path);
    const bool noDevAuth = std::string(path) == SKFAPI_MOCK_NO_DEVAUTH_SO;
    std::set<std::string> expected(kExtensions);
    for (const char* name : kStandardNames) {
      const bool omitted = noDevAuth && std::string(name) == "SKF_DevAuth";
      EXPECT_EQ(lib_->Symbol(name) == nullptr, omitted) << path << " " << name;
      if (!omitted) expected.insert(name);
    }
    // Nothing else leaves the module: no helper, no key accessor.
    EXPECT_EQ(DynamicSymbols(path), expected) << path;
  }
}

TEST_F(SkfMockTest, PrivateKeysStayInOwnerOnlyFiles) {
  Provision();
  size_t keys = 0;
  for (auto& e : std::filesystem::recursive_directory_iterator(token_)) {
    if (!e.is_regular_file()) continue;
    std::ifstream in(e.path());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    struct stat st {};
    ASSERT_EQ(stat(e.path().c_str(), &st), 0);
    const bool isKey = e.path().extension() == ".key";
    EXPECT_EQ(text.find("PRIVATE KEY") != std::string::npos, isKey) << e.path();
    if (isKey || e.path().filename() == "app.conf") {
      EXPECT_EQ(st.st_mode & 0777, 0600u) << e.path();
    }
    EXPECT_EQ(text.find("12345678"), std::string::npos) << "PIN in clear in " << e.path();
    keys += isKey;
  }
  EXPECT_EQ(keys, 3u);
}

}  // namespace
}  // namespace skftest
