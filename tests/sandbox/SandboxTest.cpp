// `tolmix sandbox`: the printed variables, env.sh, the device list files,
// the SoftHSM2 token, the soft SKF token, the store, a second run and the
// refusal of a foreign folder.
#include <openssl/pem.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/OsslPtr.h"
#include "platform/DynamicLibrary.h"
#include "skf/skfapi.h"
#include "tests/sandbox/SandboxBed.h"
#include "util/IniReader.h"

namespace tolmix::sandboxtest {
namespace {
namespace fs = std::filesystem;

constexpr const char* kNames[] = {
    "TOLMIX_SYSTEM_DIR", "TOLMIX_STORE_DIR",       "TOLMIX_LOG_DIR",
    "TOLMIX_REGISTRY",   "SOFTHSM2_CONF",          "TOLMIX_SKF_TOKEN_DIR",
    "TOLMIX_SANDBOX_P11_PIN", "TOLMIX_SANDBOX_SKF_PIN", "TOLMIX_SANDBOX_PKI",
    "TOLMIX_ORIGINS",    "TOLMIX_FILES_DIR"};

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(SandboxTest, BothRunsSucceedQuicklyAndPrintTheSameVariables) {
  ASSERT_EQ(first_.status, 0);
  ASSERT_EQ(second_.status, 0);
  EXPECT_LT(first_.seconds + second_.seconds, 30.0);
  EXPECT_EQ(first_.out, second_.out);
  auto vars = ParseVariables(second_.out);
  ASSERT_EQ(vars.size(), std::size(kNames));
  std::string root = fs::canonical(dir_).string();
  for (size_t i = 0; i < vars.size(); ++i) {
    SCOPED_TRACE(kNames[i]);
    EXPECT_EQ(vars[i].first, kNames[i]);
    if (vars[i].first.find("_PIN") == std::string::npos) {
      EXPECT_EQ(vars[i].second.rfind(root + "/", 0), 0u) << vars[i].second;
    }
  }
  EXPECT_TRUE(fs::is_directory(Var("TOLMIX_SYSTEM_DIR")));
  EXPECT_TRUE(fs::is_directory(Var("TOLMIX_STORE_DIR")));
  EXPECT_TRUE(fs::is_directory(Var("TOLMIX_SANDBOX_PKI")));
  EXPECT_TRUE(fs::is_regular_file(Var("SOFTHSM2_CONF")));
  EXPECT_TRUE(fs::is_regular_file(Var("TOLMIX_LOG_DIR") + "/keyapi.log"));
}

TEST_F(SandboxTest, EnvShExportsTheSameValues) {
  std::string script;
  for (const char* name : kNames) {
    script += std::string("printf '%s=%s\\n' ") + name + " \"$" + name + "\";";
  }
  std::string source = ". " + Quoted(dir_ + "/env.sh") + "; ";
  Outcome run = RunCommand("env -i sh -c " + Quoted(source + script));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, second_.out);
}

TEST_F(SandboxTest, SecondRunKeepsEveryCertificate) {
  ASSERT_FALSE(firstPems_.empty());
  for (const auto& [file, pem] : firstPems_) {
    EXPECT_EQ(ReadFile(Pki(file)), pem) << file;
  }
  EXPECT_EQ(firstPems_.size(), 14u);  // 13 certificates and other-rsa.key
}

TEST_F(SandboxTest, DeviceListFilesNameTheLinkedLibraries) {
  std::string sys = Var("TOLMIX_SYSTEM_DIR");
  EXPECT_EQ(ReadDeviceList(sys, kP11DeviceListFile), std::vector<std::string>{"libsofthsm2.so"});
  EXPECT_EQ(ReadDeviceList(sys, kSkfDeviceListFile), std::vector<std::string>{"SKFAPI.so"});
  EXPECT_TRUE(fs::exists(sys + "/libsofthsm2.so"));
  EXPECT_TRUE(fs::exists(sys + "/SKFAPI.so"));
  // Every module this build made is linked.
  for (const char* module : {"gmEngine.so", "pkcs11_rsa_key.so", "capi.so",
                             "libtolmix_gtk_chooser.so"}) {
    EXPECT_EQ(fs::exists(sys + "/" + module),
              fs::exists(std::string(TOLMIX_MODULE_DIR "/") + module))
        << module;
  }
}

TEST_F(SandboxTest, SoftHsmTokenHoldsBothPairsUnderItsLabelAndPin) {
  Outcome slots = RunCommand("softhsm2-util --show-slots");
  EXPECT_NE(slots.out.find("Tolmix Sandbox P11"), std::string::npos) << slots.out;
  Outcome objects = RunCommand(
      "pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label 'Tolmix Sandbox P11'"
      " --login --pin " + Var("TOLMIX_SANDBOX_P11_PIN") + " --list-objects 2>&1");
  ASSERT_EQ(objects.status, 0) << objects.out;
  EXPECT_EQ(Count(objects.out, "Private Key Object"), 2) << objects.out;
  EXPECT_EQ(Count(objects.out, "Certificate Object"), 2) << objects.out;
  EXPECT_EQ(Count(objects.out, "label:      p11-sign"), 2) << objects.out;
  EXPECT_EQ(Count(objects.out, "label:      p11-exchange"), 2) << objects.out;
  Outcome wrong = RunCommand(
      "pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label 'Tolmix Sandbox P11'"
      " --login --pin 000000 --list-objects >/dev/null 2>&1");
  EXPECT_NE(wrong.status, 0);
}

TEST_F(SandboxTest, SoftskfListsBothContainers) {
  Outcome list = RunCommand(TOLMIX_SOFTSKF " list");
  ASSERT_EQ(list.status, 0);
  EXPECT_NE(list.out.find("device TolmixSoftKey\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("container SM2\n      sign: SM2"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("container Tolmix-RSA\n      sign: RSA"), std::string::npos)
      << list.out;
}

// The walk of the SKF key probe, through the library the system directory
// links: the PIN opens the application and the SM2 container comes first.
TEST_F(SandboxTest, SkfProbeMeetsTheSm2ContainerFirst) {
  platform::DynamicLibrary lib;
  ASSERT_TRUE(lib.Load(Var("TOLMIX_SYSTEM_DIR") + "/SKFAPI.so")) << lib.Error();
#define RESOLVE(name) auto name = lib.Resolve<decltype(&::name)>(#name); ASSERT_TRUE(name)
  RESOLVE(SKF_EnumDev); RESOLVE(SKF_ConnectDev); RESOLVE(SKF_EnumApplication);
  RESOLVE(SKF_OpenApplication); RESOLVE(SKF_VerifyPIN); RESOLVE(SKF_EnumContainer);
  RESOLVE(SKF_OpenContainer); RESOLVE(SKF_ExportCertificate);
#undef RESOLVE
  char list[1024];
  ULONG size = sizeof list;
  ASSERT_EQ(SKF_EnumDev(TRUE, list, &size), 0u);
  DEVHANDLE dev = nullptr;
  ASSERT_EQ(SKF_ConnectDev(list, &dev), 0u);
  size = sizeof list;
  ASSERT_EQ(SKF_EnumApplication(dev, list, &size), 0u);
  HAPPLICATION app = nullptr;
  ASSERT_EQ(SKF_OpenApplication(dev, list, &app), 0u);
  std::string pin = Var("TOLMIX_SANDBOX_SKF_PIN");
  ULONG retries = 0;
  ASSERT_EQ(SKF_VerifyPIN(app, USER_TYPE, pin.data(), &retries), 0u);
  size = sizeof list;
  ASSERT_EQ(SKF_EnumContainer(app, list, &size), 0u);
  EXPECT_EQ(std::string(list, size), std::string("SM2\0Tolmix-RSA\0\0", 16));
  struct {
    const char* container;
    BOOL sign;
    const char* file;
  } const kExports[] = {{"SM2", TRUE, "skf-sm2-sign.pem"},
                        {"SM2", FALSE, "skf-sm2-enc.pem"},
                        {"Tolmix-RSA", TRUE, "skf-rsa.pem"}};
  for (const auto& e : kExports) {
    SCOPED_TRACE(e.file);
    HCONTAINER c = nullptr;
    std::string name = e.container;
    ASSERT_EQ(SKF_OpenContainer(app, name.data(), &c), 0u);
    BYTE der[4096];
    ULONG len = sizeof der;
    ASSERT_EQ(SKF_ExportCertificate(c, e.sign, der, &len), 0u);
    ossl::Ptr<X509> file(ReadCert(Pki(e.file)));
    ASSERT_TRUE(file);
    unsigned char* fileDer = nullptr;
    int n = i2d_X509(file.get(), &fileDer);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(der), len),
              std::string(reinterpret_cast<char*>(fileDer), n));
    OPENSSL_free(fileDer);
  }
}

TEST_F(SandboxTest, StoreListsTheTwoCspCertificatesWithTheirContainers) {
  Outcome list = RunCommand(TOLMIX_HOST " store list");
  ASSERT_EQ(list.status, 0);
  std::istringstream in(list.out);
  std::vector<std::string> my;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("MY\t", 0) == 0) my.push_back(line);
  }
  ASSERT_EQ(my.size(), 2u) << list.out;
  // 测试用户CSP签名
  EXPECT_NE(my[0].find("\t\xe6\xb5\x8b\xe8\xaf\x95\xe7\x94\xa8\xe6\x88\xb7" "CSP"
                       "\xe7\xad\xbe\xe5\x90\x8d\tTolmix Soft RSA\tcsp-sign"),
            std::string::npos) << my[0];
  EXPECT_NE(my[1].find("\tTolmix CSP Enc\tTolmix Soft RSA\tcsp-enc"), std::string::npos) << my[1];
  EXPECT_NE(list.out.find("provider\t0\tTolmix Soft RSA\tcsp-enc,csp-sign"), std::string::npos)
      << list.out;
}

// The control registered in the sandbox's registry answers for the PKI:
// the issuer check accepts exactly the three ORVA authorities, and the
// identity extension of the Quenmark certificate comes back without its
// four header bytes.
TEST_F(SandboxTest, RegisteredControlChecksTheIssuersOfThePki) {
  ASSERT_TRUE(fs::is_regular_file(Var("TOLMIX_REGISTRY")));
  const struct {
    const char* file;
    const char* verdict;
  } kIssuers[] = {{"ca-orva.pem", "true"},        {"p11-exchange.pem", "true"},
                  {"skf-sm2-enc.pem", "true"},    {"csp-sign.pem", "true"},
                  {"quenmark-user.pem", "false"}, {"ca-quenmark.pem", "false"}};
  for (const auto& c : kIssuers) {
    Outcome run = RunCommand(std::string(TOLMIX_HOST " call VerifyCert ") +
                             Quoted("@" + Pki(c.file)) + " 2>&1");
    EXPECT_EQ(run.out, std::string(c.verdict) + "\n") << c.file;
  }
  Outcome item = RunCommand(std::string(TOLMIX_HOST " call GetCertInfo ") +
                            Quoted("@" + Pki("quenmark-user.pem")) +
                            " 3021 1.2.156.10260.4.1.1 2>&1");
  EXPECT_EQ(item.out, "110101199001011234\n");
}

// A copy of the sandbox that lost one authority key gets a whole new PKI
// (not a mix of old certificates and a new authority) and still provisions.
TEST_F(SandboxTest, IncompletePkiIsMadeAnew) {
  std::string copy = fs::path(dir_).parent_path().string() + "/copy";
  fs::copy(dir_, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  fs::remove(copy + "/keys/ca-orvasm2.key");
  Outcome run = RunCommand(std::string(TOLMIX_HOST " sandbox ") + Quoted(copy) + " 2>/dev/null");
  ASSERT_EQ(run.status, 0);
  EXPECT_TRUE(fs::exists(copy + "/keys/ca-orvasm2.key"));
  for (const char* file : {"ca-orva.pem", "ca-orvasm2.pem", "skf-sm2-sign.pem"}) {
    EXPECT_NE(ReadFile(copy + "/pki/" + file), ReadFile(Pki(file))) << file;
  }
  ossl::Ptr<X509> ca(ReadCert(copy + "/pki/ca-orvasm2.pem"));
  ossl::Ptr<X509> user(ReadCert(copy + "/pki/skf-sm2-sign.pem"));
  ASSERT_TRUE(ca && user);
  ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(id, reinterpret_cast<const unsigned char*>("1234567812345678"), 16);
  X509_set0_distinguishing_id(user.get(), id);
  EXPECT_EQ(X509_verify(user.get(), X509_get0_pubkey(ca.get())), 1);
}

TEST_F(SandboxTest, RefusesAFolderItDidNotMake) {
  std::string foreign = fs::path(dir_).parent_path().string() + "/foreign";
  fs::create_directories(foreign);
  { std::ofstream(foreign + "/precious") << "keep"; }
  Outcome run = RunCommand(std::string(TOLMIX_HOST " sandbox ") + Quoted(foreign) + " 2>/dev/null");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(ReadFile(foreign + "/precious"), "keep");
  EXPECT_EQ(std::distance(fs::directory_iterator(foreign), fs::directory_iterator()), 1);
  EXPECT_EQ(RunCommand(TOLMIX_HOST " sandbox 2>/dev/null").status, 2);
}

}  // namespace
}  // namespace tolmix::sandboxtest
