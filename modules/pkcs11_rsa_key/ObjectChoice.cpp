#include "modules/pkcs11_rsa_key/ObjectChoice.h"

#include <cstdint>
#include <string_view>

#include <openssl/x509v3.h>

namespace tolmix::p11 {
namespace {

constexpr uint32_t kSignatureUsage = KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION;
constexpr uint32_t kExchangeUsage = KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT | KU_KEY_AGREEMENT;

}  // namespace

int KindFitness(X509* cert, int kind) {
  if (!cert) return 0;
  // X509_get_key_usage answers UINT32_MAX when the extension is absent, and
  // 0 when the certificate's extensions cannot be decoded.
  uint32_t usage = X509_get_key_usage(cert);
  if (!(X509_get_extension_flags(cert) & EXFLAG_KUSAGE)) return usage == 0 ? 0 : 1;
  uint32_t wanted = kind == kKeyKindSignature ? kSignatureUsage : kExchangeUsage;
  uint32_t other = kind == kKeyKindSignature ? kExchangeUsage : kSignatureUsage;
  if (!(usage & wanted)) return 0;
  return (usage & other) ? 2 : 3;
}

int ChooseCertificate(const std::vector<X509*>& certs, int kind) {
  return ChooseCertificate(certs.size(), [&](size_t i) { return certs[i]; }, kind);
}

int ChooseCertificate(size_t count, const std::function<X509*(size_t)>& cert, int kind) {
  constexpr int kBest = 3;  // this kind's usage only: no later one can win
  int best = -1;
  int best_fitness = 0;
  for (size_t i = 0; i < count && best_fitness < kBest; ++i) {
    int fitness = KindFitness(cert(i), kind);
    if (fitness > best_fitness) {
      best = static_cast<int>(i);
      best_fitness = fitness;
    }
  }
  return best;
}

}  // namespace tolmix::p11

namespace tolmix::p11 {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ParseKeySelector(const char* text, KeySelector* out) {
  *out = KeySelector{};
  std::string_view s = text ? text : "";
  if (s.empty() || s == "2") return true;
  if (s == "1") {
    out->kind = kKeyKindExchange;
    return true;
  }
  if (s.starts_with("id:")) {
    s.remove_prefix(3);
    if (s.empty() || s.size() % 2) return false;
    for (size_t i = 0; i < s.size(); i += 2) {
      int hi = HexValue(s[i]), lo = HexValue(s[i + 1]);
      if (hi < 0 || lo < 0) return false;
      out->id.push_back(static_cast<unsigned char>(hi << 4 | lo));
    }
    out->by = KeySelector::By::kId;
    return true;
  }
  if (s.starts_with("label:")) {
    out->label.assign(s.substr(6));
    out->by = KeySelector::By::kLabel;
    return true;
  }
  return false;
}

}  // namespace tolmix::p11
