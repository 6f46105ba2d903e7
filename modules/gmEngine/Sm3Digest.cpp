#include "modules/gmEngine/Sm3Digest.h"

#include <mutex>
#include <utility>
#include <vector>

#include <openssl/evp.h>

namespace tolmix::gm {
namespace {

constexpr char kHelperId[] = "gmEngine_sm3";
constexpr char kHelperName[] = "gmEngine: SM3 for the SHA-1 method";
constexpr int kSm3Size = 32;
constexpr int kSm3Block = 64;
const int kNids[] = {NID_sha1};

// The per-context state: libcrypto's own SM3 context.
struct State {
  EVP_MD_CTX* inner;
};

State* StateOf(EVP_MD_CTX* ctx) { return static_cast<State*>(EVP_MD_CTX_md_data(ctx)); }

int Init(EVP_MD_CTX* ctx) {
  State* s = StateOf(ctx);
  if (!s->inner) s->inner = EVP_MD_CTX_new();
  return s->inner && EVP_DigestInit_ex(s->inner, EVP_sm3(), nullptr);
}

int Update(EVP_MD_CTX* ctx, const void* data, size_t count) {
  State* s = StateOf(ctx);
  return s->inner && EVP_DigestUpdate(s->inner, data, count);
}

int Final(EVP_MD_CTX* ctx, unsigned char* md) {
  State* s = StateOf(ctx);
  unsigned int len = 0;
  return s->inner && EVP_DigestFinal_ex(s->inner, md, &len) && len == kSm3Size;
}

// TO's state is a byte copy of FROM's: give it a context of its own.
int Copy(EVP_MD_CTX* to, const EVP_MD_CTX* from) {
  State* t = StateOf(to);
  const State* f = static_cast<const State*>(EVP_MD_CTX_md_data(from));
  t->inner = nullptr;
  if (!f->inner) return 1;
  t->inner = EVP_MD_CTX_new();
  return t->inner && EVP_MD_CTX_copy_ex(t->inner, f->inner);
}

int Cleanup(EVP_MD_CTX* ctx) {
  State* s = StateOf(ctx);
  if (s) {
    EVP_MD_CTX_free(s->inner);
    s->inner = nullptr;
  }
  return 1;
}

// The digest of each registered helper.
std::mutex g_mutex;
std::vector<std::pair<ENGINE*, EVP_MD*>> g_helpers;

int Digests(ENGINE* e, const EVP_MD** md, const int** nids, int nid) {
  if (!md) {
    *nids = kNids;
    return 1;
  }
  *md = nullptr;
  if (nid != NID_sha1) return 0;
  std::lock_guard lock(g_mutex);
  for (auto& [helper, digest] : g_helpers) {
    if (helper == e) *md = digest;
  }
  return *md ? 1 : 0;
}

EVP_MD* NewDigest() {
  EVP_MD* md = EVP_MD_meth_new(NID_sha1, NID_sha1WithRSAEncryption);
  if (md && EVP_MD_meth_set_result_size(md, kSm3Size) &&
      EVP_MD_meth_set_input_blocksize(md, kSm3Block) &&
      EVP_MD_meth_set_app_datasize(md, sizeof(State)) &&
      EVP_MD_meth_set_flags(md, EVP_MD_FLAG_DIGALGID_ABSENT) && EVP_MD_meth_set_init(md, Init) &&
      EVP_MD_meth_set_update(md, Update) && EVP_MD_meth_set_final(md, Final) &&
      EVP_MD_meth_set_copy(md, Copy) && EVP_MD_meth_set_cleanup(md, Cleanup)) {
    return md;
  }
  EVP_MD_meth_free(md);
  return nullptr;
}

}  // namespace

Sm3ForSha1::~Sm3ForSha1() {
  Unregister();
  EVP_MD_meth_free(md_);
}

bool Sm3ForSha1::Register() {
  if (helper_) return true;
  if (!md_) md_ = NewDigest();
  ENGINE* e = md_ ? ENGINE_new() : nullptr;
  if (!e) return false;
  try {
    std::lock_guard lock(g_mutex);
    g_helpers.emplace_back(e, md_);
  } catch (...) {
    ENGINE_free(e);
    return false;
  }
  helper_ = e;
  if (!ENGINE_set_id(e, kHelperId) || !ENGINE_set_name(e, kHelperName) ||
      !ENGINE_set_flags(e, ENGINE_FLAGS_NO_REGISTER_ALL) || !ENGINE_set_digests(e, Digests) ||
      !ENGINE_register_digests(e)) {
    Unregister();
    return false;
  }
  return true;
}

void Sm3ForSha1::Unregister() {
  if (!helper_) return;
  ENGINE_unregister_digests(helper_);
  {
    std::lock_guard lock(g_mutex);
    for (auto it = g_helpers.begin(); it != g_helpers.end(); ++it) {
      if (it->first == helper_) {
        g_helpers.erase(it);
        break;
      }
    }
  }
  ENGINE_free(helper_);
  helper_ = nullptr;
}

}  // namespace tolmix::gm
