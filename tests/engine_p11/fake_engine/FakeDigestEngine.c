/* A stand-in engine module for tests: engine id "gmEngine", a SHA-1 digest
 * of its own (the 20 bytes are all 0x5A, whatever the input) registered
 * with OpenSSL's digest table when the module binds, so that a plain
 * EVP_sha1() digest picks it up.  With TOLMIX_FAKE_ENGINE_FAIL_INIT set,
 * ENGINE_init fails. */
#include <stdlib.h>
#include <string.h>

#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

static EVP_MD* fake_sha1 = NULL;
static const int fake_nids[] = {NID_sha1};

static int fake_init(EVP_MD_CTX* ctx) { (void)ctx; return 1; }
static int fake_update(EVP_MD_CTX* ctx, const void* data, size_t count) {
  (void)ctx; (void)data; (void)count;
  return 1;
}
static int fake_final(EVP_MD_CTX* ctx, unsigned char* md) {
  (void)ctx;
  memset(md, 0x5A, 20);
  return 1;
}

static int fake_digests(ENGINE* e, const EVP_MD** digest, const int** nids, int nid) {
  (void)e;
  if (!digest) {
    *nids = fake_nids;
    return 1;
  }
  if (nid == NID_sha1 && fake_sha1) {
    *digest = fake_sha1;
    return 1;
  }
  *digest = NULL;
  return 0;
}

static int fake_engine_init(ENGINE* e) {
  (void)e;
  return getenv("TOLMIX_FAKE_ENGINE_FAIL_INIT") == NULL;
}

static int fake_destroy(ENGINE* e) {
  (void)e;
  EVP_MD_meth_free(fake_sha1);
  fake_sha1 = NULL;
  return 1;
}

static int bind_fake(ENGINE* e, const char* id) {
  if (id && strcmp(id, "gmEngine") != 0) return 0;
  fake_sha1 = EVP_MD_meth_new(NID_sha1, NID_undef);
  if (!fake_sha1 || !EVP_MD_meth_set_result_size(fake_sha1, 20) ||
      !EVP_MD_meth_set_input_blocksize(fake_sha1, 64) ||
      /* OpenSSL 3.0 hooks up a legacy digest's update only when it has
       * context data. */
      !EVP_MD_meth_set_app_datasize(fake_sha1, 16) ||
      !EVP_MD_meth_set_init(fake_sha1, fake_init) ||
      !EVP_MD_meth_set_update(fake_sha1, fake_update) ||
      !EVP_MD_meth_set_final(fake_sha1, fake_final)) {
    return 0;
  }
  return ENGINE_set_id(e, "gmEngine") && ENGINE_set_name(e, "test digest engine") &&
         ENGINE_set_init_function(e, fake_engine_init) &&
         ENGINE_set_destroy_function(e, fake_destroy) && ENGINE_set_digests(e, fake_digests) &&
         ENGINE_register_digests(e);
}

IMPLEMENT_DYNAMIC_BIND_FN(bind_fake)
IMPLEMENT_DYNAMIC_CHECK_FN()
