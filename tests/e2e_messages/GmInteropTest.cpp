// SM2 messages of the "SKF" route read and made by parties that share no
// code with the control: the openssl command (SM3, SM2 verification with
// the default identity) and tests/js/sm2peer.js (sm-crypto over
// asn1js/pkijs).  What one side makes, the other verifies or opens.
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e_messages/MessagesBed.h"

namespace tolmix::e2e {
namespace {

constexpr char kSm2Sig[] = "1.2.156.10197.1.301.1";
constexpr char kSm3[] = "1.2.156.10197.1.401";
constexpr char kSm2Enc[] = "1.2.156.10197.1.301.3";

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// NAME=VALUE lines of the peer tool: the value of NAME, or "<none>".
std::string Field(const std::string& out, const std::string& name) {
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(name + "=", 0) == 0) return line.substr(name.size() + 1);
  }
  return "<none>";
}

class GmInterop : public SandboxCase {
 protected:
  void SetUp() override {
    SandboxCase::SetUp();
    if (std::string(TOLMIX_NODE).empty()) {
      if (getenv("CI")) FAIL() << "node is needed (scripts/install-deps.sh)";
      GTEST_SKIP() << "node not found at configure time";
    }
  }

  std::string Pin() { return bed().Var("TOLMIX_SANDBOX_SKF_PIN"); }
  std::vector<std::string> SetPasswd() { return {"SetPasswd", "SKF", Pin(), "1"}; }
  // A private key of the soft SKF device's SM2 container (the test reads
  // the token's files; the control never does).
  std::string DeviceKey(const char* pair) {
    return bed().Var("TOLMIX_SKF_TOKEN_DIR") + "/TolmixSoftKey/TOLMIX/SM2/" + pair + ".key";
  }

  Outcome Sh(const std::string& command) { return Shell(command, bed().Scratch("sh.err")); }
  Outcome Peer(const std::vector<std::string>& args) {
    std::string command = Quoted(TOLMIX_NODE) + " " + Quoted(TOLMIX_SM2PEER);
    for (const std::string& a : args) command += " " + Quoted(a);
    return Sh(command);
  }
  // The openssl command's SM3 of FILE, hex.
  std::string OpensslSm3(const std::string& file) {
    Outcome r = Sh("openssl dgst -sm3 -r " + Quoted(file));
    return r.status == 0 ? r.out.substr(0, r.out.find(' ')) : "openssl: " + r.err;
  }
  // True when the openssl command accepts SIG_FILE as the SM2 signature of
  // DATA_FILE (e = SM3(Z || data), default identity) by the signature
  // certificate of the soft device.
  bool OpensslVerifies(const std::string& dataFile, const std::string& sigFile) {
    const std::string pub = bed().Scratch("pub.pem");
    Outcome k = Sh("openssl x509 -noout -pubkey -in " + Quoted(bed().Pki("skf-sm2-sign.pem")) +
                   " -out " + Quoted(pub));
    Outcome v = Sh("openssl pkeyutl -verify -rawin -digest sm3 -pkeyopt distid:1234567812345678"
                   " -pubin -inkey " + Quoted(pub) + " -in " + Quoted(dataFile) + " -sigfile " +
                   Quoted(sigFile));
    return k.status == 0 && v.status == 0 &&
           v.out.find("Signature Verified Successfully") != std::string::npos;
  }
};

struct SignCase {
  const char* name;
  std::string text;  // handed to Sign (UTF-8)
  std::string gbk;   // the content the message must carry
};

std::vector<SignCase> SignCases() {
  std::string big;
  for (int i = 0; big.size() < (1u << 20); ++i) big += "line " + std::to_string(i) + " of content|";
  big.resize(1u << 20);
  return {{"Short", "签名 GM text", "\xC7\xA9\xC3\xFB GM text"}, {"OneMebibyte", big, big}};
}

TEST_F(GmInterop, SkfSignaturesAreVerifiedOutsideTheControl) {
  for (const SignCase& c : SignCases()) {
    SCOPED_TRACE(c.name);
    Outcome run = bed().Call({SetPasswd(), {"Sign", bed().FileArg("content.txt", c.text)},
                              {"SignedData"}});
    ASSERT_EQ(run.status, 0) << run.err;
    auto out = Results(run.out, "llp");
    ASSERT_EQ(out[1], "true") << run.err;
    const std::string pem = bed().Scratch("signed.pem");
    WriteFile(pem, out[2]);

    const std::string dir = bed().Scratch("parts");
    std::filesystem::create_directories(dir);
    Outcome peer = Peer({"inspect", pem, dir});
    ASSERT_EQ(peer.status, 0) << peer.err;
    EXPECT_EQ(ReadFile(dir + "/content.bin"), c.gbk);
    EXPECT_EQ(Field(peer.out, "contentType"), "1.2.840.113549.1.7.1");
    EXPECT_EQ(Field(peer.out, "digestAlg"), kSm3);
    EXPECT_EQ(Field(peer.out, "signatureAlg"), kSm2Sig);
    // messageDigest = SM3(content), by openssl and by sm-crypto.
    EXPECT_EQ(Field(peer.out, "messageDigest"), OpensslSm3(dir + "/content.bin"));
    EXPECT_EQ(Field(peer.out, "messageDigest"), Field(peer.out, "sm3"));
    // The signature is of the DER of the signed attributes.
    EXPECT_EQ(Field(peer.out, "verified"), "true") << "sm-crypto";
    EXPECT_TRUE(OpensslVerifies(dir + "/signed.der", dir + "/sig.der"));
    // ... and of nothing else: the content itself is not what was signed.
    EXPECT_FALSE(OpensslVerifies(dir + "/content.bin", dir + "/sig.der"));
  }
}

TEST_F(GmInterop, MessagesOfAnotherSm2ImplementationVerifyAndSpoiltOnesAreRefused) {
  const std::string text = "peer signed 中文 text";
  const std::string content = bed().Scratch("peer-content");
  WriteFile(content, "peer signed \xD6\xD0\xCE\xC4 text");  // GBK, as Verify hands it back
  struct Case {
    const char* attrs;
    const char* spoil;  // "" for none
    bool verifies;
  };
  const Case cases[] = {{"attrs", "", true},           {"noattrs", "", true},
                        {"attrs", "content", false},   {"noattrs", "content", false},
                        {"attrs", "signature", false}, {"noattrs", "signature", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.attrs) + " spoilt: " + c.spoil);
    const std::string pem = bed().Scratch("peer.pem");
    std::vector<std::string> args = {"sign",          DeviceKey("sign"),
                                     bed().Pki("skf-sm2-sign.pem"), content, c.attrs, pem};
    if (*c.spoil) args.emplace_back(c.spoil);
    Outcome peer = Peer(args);
    ASSERT_EQ(peer.status, 0) << peer.err;
    Outcome run = bed().Call({SetPasswd(), {"Verify", "x", "@" + pem}, {"SignProData"},
                              {"VerifySignEnvelope", "@" + pem}});
    ASSERT_EQ(run.status, 0) << run.err;
    auto out = Results(run.out, "llll");
    EXPECT_EQ(out[1], c.verifies ? "true" : "false");
    EXPECT_EQ(out[2], c.verifies ? text : "");
    EXPECT_EQ(out[3], c.verifies ? text : "");
  }
}

// Made by the control before its SM2 signatures followed the GM profile
// (digest "sha1", SM3 computed under that name, the device's signature of
// the 32-byte digest): they must keep verifying.
TEST_F(GmInterop, SignaturesOfTheOldFormStillVerify) {
  const std::string dir = std::string(TOLMIX_TEST_DATA_DIR) + "/sm2-legacy";
  Outcome run = bed().Call({SetPasswd(), {"Verify", "x", "@" + dir + "/signed.pem"},
                            {"SignProData"},
                            {"P1Verify", "old raw 旧", "@" + dir + "/p1sign.txt"},
                            {"P1Verify", "old raw 新", "@" + dir + "/p1sign.txt"}});
  ASSERT_EQ(run.status, 0) << run.err;
  auto out = Results(run.out, "lllll");
  EXPECT_EQ(out[1], "true");
  EXPECT_EQ(out[2], "old form 旧");
  EXPECT_EQ(out[3], "true");
  EXPECT_EQ(out[4], "false");
}

TEST_F(GmInterop, P1SignIsAStandardSm2SignatureOfTheText) {
  Outcome run = bed().Call({SetPasswd(), {"P1Sign", "P1 签名 text"}, {"SignedData"}});
  ASSERT_EQ(run.status, 0) << run.err;
  auto out = Results(run.out, "lll");
  ASSERT_EQ(out[1], "true") << run.err;
  const std::string blockText = bed().Scratch("block.b64"), block = bed().Scratch("block.bin");
  WriteFile(blockText, out[2]);
  ASSERT_EQ(Sh("openssl base64 -d -A -in " + Quoted(blockText) + " -out " + Quoted(block)).status,
            0);
  // The DER signature at the start of the 256-byte area.
  const std::string area = ReadFile(block).substr(0, 256);
  ASSERT_EQ(area[0], '\x30');
  const size_t sigLen = static_cast<unsigned char>(area[1]) + 2u;
  EXPECT_EQ(area.substr(sigLen), std::string(256 - sigLen, '\0'));
  const std::string sig = bed().Scratch("p1.sig"), data = bed().Scratch("p1.txt");
  WriteFile(sig, area.substr(0, sigLen));
  WriteFile(data, "P1 \xC7\xA9\xC3\xFB text");  // the GBK bytes signed
  EXPECT_TRUE(OpensslVerifies(data, sig));

  run = bed().Call({SetPasswd(), {"P1Verify", "P1 签名 text", "@" + blockText},
                    {"P1Verify", "P1 签名 texT", "@" + blockText}});
  ASSERT_EQ(run.status, 0) << run.err;
  out = Results(run.out, "lll");
  EXPECT_EQ(out[1], "true");
  EXPECT_EQ(out[2], "false");
}

TEST_F(GmInterop, EnvelopesOpenOnBothSides) {
  // The control's envelope: sm-crypto recovers the content key with the
  // device's encryption key and the content decrypts with it.
  const std::string text = "envelope 信封 text";
  Outcome run = bed().Call({SetPasswd(), {"Encrypt", text, "@" + bed().Pki("skf-sm2-enc.pem")},
                            {"EncryptedData"}});
  ASSERT_EQ(run.status, 0) << run.err;
  auto out = Results(run.out, "llp");
  ASSERT_EQ(out[1], "true") << run.err;
  const std::string ours = bed().Scratch("ours.pem");
  WriteFile(ours, out[2]);
  Outcome peer = Peer({"unwrap", ours, DeviceKey("enc")});
  ASSERT_EQ(peer.status, 0) << peer.err;
  EXPECT_EQ(Field(peer.out, "keyEncAlg"), kSm2Enc);
  EXPECT_EQ(Field(peer.out, "keyLength"), "24");
  EXPECT_EQ(Field(peer.out, "content"), Hex("envelope \xD0\xC5\xB7\xE2 text"));

  // An envelope whose key sm-crypto wrapped opens on the device.
  const std::string content = bed().Scratch("peer-content"), theirs = bed().Scratch("theirs.pem");
  WriteFile(content, "peer \xD0\xC5\xB7\xE2 text");
  peer = Peer({"envelope", bed().Pki("skf-sm2-enc.pem"), content, theirs});
  ASSERT_EQ(peer.status, 0) << peer.err;
  run = bed().Call({SetPasswd(), {"Decrypt", "@" + theirs}, {"DecryptedData"}});
  ASSERT_EQ(run.status, 0) << run.err;
  out = Results(run.out, "lll");
  EXPECT_EQ(out[1], "true") << run.err;
  EXPECT_EQ(out[2], "peer 信封 text");
}

// ---- Forms of GM systems: GM/T 0010 types, armours, SM4, SM2 key forms ----

class GmForms : public GmInterop {
 protected:
  void SetUp() override {
    GmInterop::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // The second peer comes from the npm registry with the test command.
    if (Sh(Quoted(TOLMIX_NODE) + " -e \"require('" + std::string(TOLMIX_SM2PEER) +
           "/../node_modules/sm-crypto-v2')\"").status != 0) {
      GTEST_SKIP() << "sm-crypto-v2 is not installed in tests/js (npm registry unreachable?)";
    }
  }
  // Short ASCII, GBK, and 1 MiB contents: the bytes and the text the control gives back.
  std::vector<std::pair<std::string, std::string>> Contents() {
    std::string big(1u << 20, 'm');
    for (size_t i = 0; i < big.size(); i += 61) big[i] = static_cast<char>('a' + i % 26);
    return {{"short", "short"}, {"GM \xD6\xD0\xCE\xC4 text", "GM 中文 text"}, {big, big}};
  }
};

TEST_F(GmForms, SignedDataOfGmSystemsVerifiesAndSpoiltIsRefused) {
  struct Row {
    const char *attrs, *spoil, *types, *armour, *lib;
    bool verifies;
  };
  const Row rows[] = {{"attrs", "-", "gm", "PKCS7", "smc", true},
                      {"noattrs", "-", "gm", "CMS", "v2", true},
                      {"noattrs", "-", "gminner", "base64", "smc", true},
                      {"attrs", "-", "pkcs7", "base64", "v2", true},
                      {"attrs", "content", "gm", "base64", "smc", false},
                      {"noattrs", "content", "gm", "PKCS7", "v2", false},
                      {"attrs", "attrs", "gm", "CMS", "v2", false},
                      {"noattrs", "signature", "gminner", "PKCS7", "smc", false}};
  for (const auto& [bytes, text] : Contents()) {
    const std::string content = bed().Scratch("content");
    WriteFile(content, bytes);
    for (const Row& r : rows) {
      SCOPED_TRACE(std::string(r.attrs) + " " + r.spoil + " " + r.types + " " + r.armour + " " +
                   r.lib + " " + std::to_string(bytes.size()));
      const std::string msg = bed().Scratch("gm.p7");
      Outcome peer = Peer({"sign", DeviceKey("sign"), bed().Pki("skf-sm2-sign.pem"), content,
                           r.attrs, msg, r.spoil, r.types, r.armour, r.lib});
      ASSERT_EQ(peer.status, 0) << peer.err;
      Outcome run = bed().Call({SetPasswd(), {"Verify", "x", "@" + msg}, {"SignProData"}});
      auto out = Results(run.out, "lll");
      EXPECT_EQ(out[1], r.verifies ? "true" : "false") << run.err;
      EXPECT_EQ(out[2] == text, r.verifies);
    }
  }
}

TEST_F(GmForms, EnvelopesOfGmSystemsOpenAndSpoiltAreRefused) {
  struct Row {
    const char *cipher, *keyForm, *types, *armour, *spoil;
    bool opens;
  };
  const Row rows[] = {{"sm4bare", "der-c1c2c3", "gm", "PKCS7", "-", true},
                      {"sm4", "raw04", "gm", "CMS", "-", true},
                      {"sm4", "raw", "pkcs7", "base64", "-", true},
                      {"des3", "raw-c1c2c3", "gm", "PKCS7", "-", true},
                      {"sm4bare", "unsigned", "pkcs7", "CMS", "-", true},
                      {"sm4", "padded", "gm", "PKCS7", "-", true},
                      {"des3", "der", "gm", "PKCS7", "c3", false},
                      {"sm4", "raw04", "gm", "CMS", "c3", false},
                      {"sm4", "raw-c1c2c3", "pkcs7", "PKCS7", "c3", false},
                      {"sm4", "raw", "gm", "PKCS7", "ciphertext", false}};
  for (const auto& [bytes, text] : Contents()) {
    const std::string content = bed().Scratch("content");
    WriteFile(content, bytes);
    for (const Row& r : rows) {
      SCOPED_TRACE(std::string(r.cipher) + " " + r.keyForm + " " + r.types + " " + r.armour + " " +
                   r.spoil + " " + std::to_string(bytes.size()));
      const std::string msg = bed().Scratch("gm.p7"), plain = bed().Scratch("plain");
      Outcome peer = Peer({"envelope", bed().Pki("skf-sm2-enc.pem"), content, msg, r.cipher,
                           r.keyForm, r.types, r.armour, r.spoil});
      ASSERT_EQ(peer.status, 0) << peer.err;
      const bool pem = std::string(r.armour) != "base64";  // files travel as PEM
      Outcome run = bed().Call({SetPasswd(), {"Decrypt", "@" + msg}, {"DecryptedData"},
                                {"DecryptFile", pem ? msg : "-", plain}});
      auto out = Results(run.out, "llll");
      EXPECT_EQ(out[1], r.opens ? "true" : "false") << run.err;
      EXPECT_EQ(out[2] == text, r.opens);
      if (pem) {
        EXPECT_EQ(out[3] == "true" && ReadFile(plain) == bytes, r.opens);
      }
    }
  }
}

TEST_F(GmForms, OptInOutputsAreReadByThePeers) {
  const Env gm = {{"TOLMIX_GM_OUTPUT", "types,sm4"}};
  Outcome run = bed().Call({SetPasswd(), {"Sign", "GM 输出"}, {"SignedData"},
                            {"Encrypt", "GM 信封", "@" + bed().Pki("skf-sm2-enc.pem")},
                            {"EncryptedData"}}, gm);
  auto out = Results(run.out, "llplp");
  ASSERT_EQ(out[1] + out[3], "truetrue") << run.err;
  const std::string sig = bed().Scratch("gm-sig.pem"), env = bed().Scratch("gm-env.pem");
  WriteFile(sig, out[2]);
  WriteFile(env, out[4]);
  const std::string dir = bed().Scratch("parts");
  std::filesystem::create_directories(dir);
  Outcome peer = Peer({"inspect", sig, dir});
  ASSERT_EQ(peer.status, 0) << peer.err;
  EXPECT_EQ(Field(peer.out, "outerType"), "1.2.156.10197.6.1.4.2.2");
  EXPECT_EQ(Field(peer.out, "contentType"), "1.2.156.10197.6.1.4.2.1");
  EXPECT_EQ(Field(peer.out, "verified"), "true");
  EXPECT_TRUE(OpensslVerifies(dir + "/signed.der", dir + "/sig.der"));
  peer = Peer({"unwrap", env, DeviceKey("enc"), "v2"});
  ASSERT_EQ(peer.status, 0) << peer.err;
  EXPECT_EQ(Field(peer.out, "cipher"), "1.2.156.10197.1.104.2");
  EXPECT_EQ(Field(peer.out, "content"), Hex("GM \xD0\xC5\xB7\xE2"));
  // ... and the control reads its own.
  run = bed().Call({SetPasswd(), {"Verify", "x", "@" + sig}, {"SignProData"},
                    {"Decrypt", "@" + env}, {"DecryptedData"}});
  EXPECT_EQ(Results(run.out, "lllll"),
            (std::vector<std::string>{"true", "true", "GM 输出", "true", "GM 信封"}));
}

// The device's SM2 signature key in a certificate an RSA CA signed.
TEST_F(GmForms, AnSm2KeyUnderAnRsaIssuerTakesTheSm2Route) {
  const std::string ca = bed().Scratch("rsa-ca"), cert = bed().Scratch("mixed.pem");
  ASSERT_EQ(Sh("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=RSA-CA -keyout " + ca +
               ".key -out " + ca + ".pem && openssl x509 -noout -pubkey -in " +
               Quoted(bed().Pki("skf-sm2-sign.pem")) + " > " + ca + ".pub && openssl req -new"
               " -subj /CN=Mixed -key " + ca + ".key | openssl x509 -req -sha256 -set_serial 7"
               " -CA " + ca + ".pem -CAkey " + ca + ".key -force_pubkey " + ca + ".pub -out " +
               Quoted(cert)).status, 0);
  const std::string content = bed().Scratch("content"), msg = bed().Scratch("mixed.p7");
  WriteFile(content, "mixed");
  ASSERT_EQ(Peer({"sign", DeviceKey("sign"), cert, content, "attrs", msg}).status, 0);
  Outcome run = bed().Call({SetPasswd(), {"P1Sign", "p1 text"}, {"SignedData"}});
  std::string block = Results(run.out, "lll")[2];
  ASSERT_EQ(Sh("echo " + block + " | base64 -d | head -c 256 > " + msg + ".blk && cat " +
               Quoted(cert) + " >> " + msg + ".blk").status, 0);
  const std::string p1 = "@" + msg + ".b64";
  ASSERT_EQ(Sh("base64 -w0 " + msg + ".blk > " + msg + ".b64").status, 0);
  run = bed().Call({{"SetPasswd", "P11", bed().Var("TOLMIX_SANDBOX_P11_PIN"), "1"},
                    {"Verify", "x", "@" + msg}, {"SignProData"}, {"P1Verify", "p1 text", p1},
                    {"P1Verify", "p1 texT", p1}, {"Encrypt", "mixed", "@" + cert},
                    {"EncryptedData"}}, bed().NoSkf());
  auto out = Results(run.out, "llllllp");
  EXPECT_EQ(std::vector<std::string>(out.begin() + 1, out.begin() + 6),
            (std::vector<std::string>{"true", "mixed", "true", "false", "true"})) << run.err;
  WriteFile(msg + ".env", out[6]);
  Outcome peer = Peer({"unwrap", msg + ".env", DeviceKey("sign")});
  EXPECT_EQ(Field(peer.out, "keyEncAlg"), kSm2Enc) << peer.err;
  EXPECT_EQ(Field(peer.out, "content"), Hex("mixed"));
}

}  // namespace
}  // namespace tolmix::e2e
