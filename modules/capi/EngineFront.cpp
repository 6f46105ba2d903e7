// ENGINE glue of the capi module: the dynamic bind and version check, the
// control command table, and the key-loading callback.  The logic is in
// ContainerBack (settings, key containers) and ProxyKey (keys whose private
// half stays in the module).
//
// Control commands (ENGINE_ctrl_cmd_string):
//   "csp_name"       string   soft provider that holds the key containers
//   "lookup_method"  numeric  3 = find keys by key container name (the only
//                             method; 1 and 2 are refused)
//   "key_type"       numeric  1 = exchange key, 2 = signature key (recorded;
//                             a soft container holds one key)
// ENGINE_load_private_key(e, container, NULL, NULL) returns the key of that
// key container.  ENGINE_load_public_key is not offered: certificates are
// checked by OpenSSL alone on this route.
//
// The engine's RSA method (ENGINE_set_RSA) is the one its keys use; the
// engine registers no default methods, so loading it changes nothing for
// keys that do not come from it.  The application-data slots that the
// system writes (6, 8 around envelopes) are not read: content keys are
// unwrapped through the key's own method.
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include <openssl/engine.h>

#include "modules/capi/CapiErrors.h"
#include "modules/capi/ContainerBack.h"

namespace tolmix::capi {
namespace {

constexpr char kEngineId[] = "capi";
constexpr char kEngineName[] = "Soft certificate store key containers";

constexpr int kCmdCspName = ENGINE_CMD_BASE;
constexpr int kCmdLookupMethod = ENGINE_CMD_BASE + 1;
constexpr int kCmdKeyType = ENGINE_CMD_BASE + 2;

const ENGINE_CMD_DEFN kCommands[] = {
    {kCmdCspName, "csp_name", "Soft provider that holds the key containers",
     ENGINE_CMD_FLAG_STRING},
    {kCmdLookupMethod, "lookup_method", "How keys are found: 3 = by key container name",
     ENGINE_CMD_FLAG_NUMERIC},
    {kCmdKeyType, "key_type", "Key of the container: 1 = exchange, 2 = signature",
     ENGINE_CMD_FLAG_NUMERIC},
    {0, nullptr, nullptr, 0},
};

// Each ENGINE made from this module has its own ContainerBack.  The back is
// not kept in the ENGINE's ex_data: an index of our own could be one of the
// system's fixed slots.
std::mutex g_backs_mutex;
std::vector<std::pair<ENGINE*, ContainerBack*>> g_backs;

ContainerBack* BackOf(ENGINE* e) {
  std::lock_guard lock(g_backs_mutex);
  for (auto& [engine, back] : g_backs) {
    if (engine == e) return back;
  }
  return nullptr;
}

int EngineInit(ENGINE*) { return 1; }    // containers are read when a key is loaded
int EngineFinish(ENGINE*) { return 1; }  // keys hold their own engine reference

// Runs when the last reference goes, so no key of this engine is alive.
int EngineDestroy(ENGINE* e) {
  ContainerBack* back = nullptr;
  {
    std::lock_guard lock(g_backs_mutex);
    for (auto it = g_backs.begin(); it != g_backs.end(); ++it) {
      if (it->first == e) {
        back = it->second;
        g_backs.erase(it);
        break;
      }
    }
  }
  delete back;
  return 1;
}

int EngineCtrl(ENGINE* e, int cmd, long i, void* p, void (*)(void)) {
  ContainerBack* back = BackOf(e);
  if (!back) return 0;
  switch (cmd) {
    case kCmdCspName:
      return back->SetProviderName(static_cast<const char*>(p)) ? 1 : 0;
    case kCmdLookupMethod:
      return back->SetLookupMethod(i) ? 1 : 0;
    case kCmdKeyType:
      return back->SetKeyType(i) ? 1 : 0;
    default:
      return 0;
  }
}

EVP_PKEY* LoadPrivateKey(ENGINE* e, const char* key_id, UI_METHOD*, void*) {
  ContainerBack* back = BackOf(e);
  return back ? back->LoadPrivateKey(e, key_id).release() : nullptr;
}

int Bind(ENGINE* e, const char* id) {
  if (id && strcmp(id, kEngineId) != 0) return 0;
  ContainerBack* back = new (std::nothrow) ContainerBack;
  if (!back) return 0;
  if (!back->ok()) {
    delete back;
    return 0;
  }
  try {
    std::lock_guard lock(g_backs_mutex);
    g_backs.emplace_back(e, back);
  } catch (...) {
    delete back;
    return 0;
  }
  if (!ENGINE_set_id(e, kEngineId) || !ENGINE_set_name(e, kEngineName) ||
      !ENGINE_set_init_function(e, EngineInit) || !ENGINE_set_finish_function(e, EngineFinish) ||
      !ENGINE_set_destroy_function(e, EngineDestroy) || !ENGINE_set_ctrl_function(e, EngineCtrl) ||
      !ENGINE_set_cmd_defns(e, kCommands) || !ENGINE_set_RSA(e, back->method()) ||
      !ENGINE_set_load_privkey_function(e, LoadPrivateKey)) {
    EngineDestroy(e);
    return 0;
  }
  EngineErrorLibrary();  // take the library number while loading
  return 1;
}

}  // namespace
}  // namespace tolmix::capi

extern "C" {
#pragma GCC visibility push(default)
IMPLEMENT_DYNAMIC_CHECK_FN()
IMPLEMENT_DYNAMIC_BIND_FN(tolmix::capi::Bind)
#pragma GCC visibility pop
}
