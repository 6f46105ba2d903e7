// Envelopes whose encrypted content was tampered with at its end, opened with
// the right key: the padding of the last block no longer checks, and every
// form of decryption must fail and keep what it had -- never plaintext with
// its end cut off or garbled reported as success.
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>

#include "control/TOLMIXCtrl.h"
#include "engine/OsslPtr.h"
#include "tests/envelope/EnvelopeBed.h"

namespace tolmix::envelopetest {
namespace {

// CONTENT enveloped by the `openssl` command for the device certificate
// CERT and for other-rsa.pem, whose key file lets `openssl` say whether a
// changed envelope still decrypts.
std::string TwoRecipients(const std::string& content, const char* cert) {
  int status = -1;
  std::string pem = Run("openssl smime -encrypt -des3 -binary -outform PEM -in " +
                            Quoted(WriteFile(Scratch("content"), content)) + " " +
                            Quoted(Pki(cert)) + " " + Quoted(Pki("other-rsa.pem")) + " 2>/dev/null",
                        &status);
  return status == 0 ? pem : "";
}

// PEM with byte OFFSET_FROM_END of the encrypted content XORed with MASK.
std::string Tampered(const std::string& pem, size_t offsetFromEnd, unsigned char mask) {
  ossl::Ptr<BIO> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  ossl::Ptr<PKCS7> p7(PEM_read_bio_PKCS7(in.get(), nullptr, nullptr, nullptr));
  if (!p7 || !PKCS7_type_is_enveloped(p7.get())) return "";
  ASN1_OCTET_STRING* data = p7->d.enveloped->enc_data->enc_data;
  // The string is opaque from OpenSSL 4.0 on: tamper with a copy and set it back.
  std::string bytes(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                    static_cast<size_t>(ASN1_STRING_length(data)));
  if (bytes.size() <= offsetFromEnd) return "";
  bytes[bytes.size() - 1 - offsetFromEnd] = static_cast<char>(bytes[bytes.size() - 1 - offsetFromEnd] ^ mask);
  if (!ASN1_STRING_set(data, bytes.data(), static_cast<int>(bytes.size()))) return "";
  ossl::Ptr<BIO> out(BIO_new(BIO_s_mem()));
  if (!PEM_write_bio_PKCS7(out.get(), p7.get())) return "";
  char* p = nullptr;
  return std::string(p, static_cast<size_t>(BIO_get_mem_data(out.get(), &p)));
}

struct CtrlRelease {
  void operator()(CTOLMIXCtrl* c) const { c->Release(); }
};

TEST(EnvelopeTamper, CorruptLastBlocksFailEveryFormAndKeepWhatWasThere) {
  const std::string content = "forty bytes of content, five 3DES blocks";  // 40: a full pad block
  const std::string earlier = "plaintext of an earlier envelope";
  for (const Device* d : {&kCsp, &kP11}) {
    SCOPED_TRACE(d->iface);
    const std::string pem = TwoRecipients(content, d->cert);
    ASSERT_FALSE(pem.empty());
    ASSERT_EQ(Decrypt(*d, pem).text, content);  // unchanged, it opens
    const std::string good = TwoRecipients(earlier, d->cert);

    // The second-to-last block's last byte flips the padding byte of the
    // last block: never valid.  A change of the last block garbles all of
    // it; the first change that `openssl` refuses with the right key is
    // taken (about one in 256 happens to end in valid padding).
    std::vector<std::pair<const char*, std::string>> cases = {
        {"second-to-last block", Tampered(pem, 8, 0x80)}};
    for (unsigned char mask = 1; mask != 0; ++mask) {
      std::string t = Tampered(pem, 3, mask);
      if (OpensslDecryptFile(WriteFile(Scratch("oracle.pem"), t)) == "<failed>") {
        cases.push_back({"last block", t});
        break;
      }
    }
    ASSERT_EQ(cases.size(), 2u);
    for (const auto& [what, bad] : cases) {
      SCOPED_TRACE(what);
      ASSERT_FALSE(bad.empty());
      ASSERT_EQ(OpensslDecryptFile(WriteFile(Scratch("oracle.pem"), bad)), "<failed>");

      // The engine's string and buffer forms.
      Outcome o = Decrypt(*d, bad);
      EXPECT_EQ(o.result, -1);
      char buffer[256];
      memset(buffer, 'K', sizeof buffer);
      unsigned len = sizeof buffer;
      EXPECT_EQ(DecryptBuffer(*d, bad, buffer, &len), -1);
      EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'K'));

      // The engine's file form over an existing target.
      const std::string src = WriteFile(Scratch("bad.pem"), bad);
      const std::string dst = WriteFile(Scratch("target.txt"), "an earlier target\n");
      EXPECT_EQ(DecryptFile(*d, src, dst), -1);
      EXPECT_EQ(ReadFile(dst), "an earlier target\n");

      // The control's members, after an envelope that opened (on "CSP":
      // the control probes the SKF key first, where a P11 PIN would count).
      if (d != &kCsp) continue;
      std::unique_ptr<CTOLMIXCtrl, CtrlRelease> c(CTOLMIXCtrl::Create());
      ASSERT_TRUE(c->SetPasswd(d->iface, "", 1));
      ASSERT_TRUE(c->Decrypt(good.c_str()));
      ASSERT_EQ(c->GetDecryptedData(), earlier);
      EXPECT_FALSE(c->Decrypt(bad.c_str()));
      EXPECT_EQ(c->GetDecryptedData(), earlier);
      EXPECT_FALSE(c->DecryptFile(src.c_str(), dst.c_str()));
      EXPECT_EQ(ReadFile(dst), "an earlier target\n");
    }
  }
}

}  // namespace
}  // namespace tolmix::envelopetest
