// SM2 messages of the "SKF" route read and made by parties that share no
// code with the control: the openssl command (SM3, SM2 verification with
// the default identity) and tests/js/sm2peer.js (sm-crypto over
// asn1js/pkijs).  What one side makes, the other verifies or opens.
#include <unistd.h>

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
    if (access(TOLMIX_JS_MODULES "/.package-lock.json", F_OK) != 0) {
      GTEST_SKIP() << TOLMIX_JS_MODULES " is not installed (scripts/install-js-tools.sh "
                      "installs it; it could not reach the npm registry, or did not run)";
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

}  // namespace
}  // namespace tolmix::e2e
