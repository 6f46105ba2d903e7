// EngineModules: bring-up of the system's engine modules through OpenSSL's
// dynamic engine, and their release (the rule of engine/EngineModules.h).
#include "engine/EngineModules.h"

#include <cstring>
#include <string>

#include <openssl/engine.h>
#include <openssl/err.h>

#include "engine/EngineSlots.h"
#include "platform/DynamicLibrary.h"
#include "platform/Env.h"
#include "util/FixedText.h"

namespace tolmix {
namespace {

// The engines Load brings up from the system folder.  The clean-up touches
// only these: OpenSSL 3.0 lists its built-in engines ("dynamic" among them)
// once per process, so removing one of those would make it unavailable to
// every later call.
constexpr const char* kModuleEngineIds[] = {"capi", "pkcs11_rsa_key", "gmEngine"};

// Module paths are held in 256 bytes: a path of more than 255 bytes is
// refused as a module that does not load.
constexpr size_t kModulePathSize = 256;

// Forms "<system dir>/<name><suffix>" into OUT.  False when it does not fit
// or memory ran out.
bool ModulePath(char (&out)[kModulePathSize], const char* name, const char* suffix) noexcept {
  out[0] = '\0';
  try {
    std::string path = platform::SystemDir() + "/" + name + suffix;
    CopyBounded(out, path);
    return path.size() < kModulePathSize;
  } catch (...) {
    return false;
  }
}

}  // namespace

EngineModules::LoadResult EngineModules::Load(const char* name) noexcept {
  if (!name) name = "";
  // The fixed ex_data slots must be reserved before the dynamic engine takes
  // its own index, or slot 2 could overwrite the loaded module's context.
  if (!EnsureEngineSlots()) return LoadResult::kLoadFailed;
  ENGINE_load_dynamic();
  // "dynamic" is copied on lookup: this handle becomes the loaded engine.
  ossl::Ptr<ENGINE> engine(ENGINE_by_id("dynamic"));
  if (!engine) return LoadResult::kReady;

  char path[kModulePathSize];
  if (!ModulePath(path, name, platform::SharedLibrarySuffix())) return LoadResult::kLoadFailed;
  // An engine of this name that this object already brought up is used
  // again.  OpenSSL 1.0 loaded the module a second time but kept the first
  // engine on the list, so ENGINE_by_id found the first one anyway; 3.0
  // refuses to bind a module whose engine is still alive (a key may hold
  // it).  Put back on the list in case a sweep took it off.
  size_t free_slots = 0;
  for (auto& slot : m_apEngines) {
    if (!slot) {
      ++free_slots;
      continue;
    }
    const char* id = ENGINE_get_id(slot.get());
    if (id && strcmp(id, name) == 0) {
      ERR_set_mark();
      ENGINE_add(slot.get());  // fails harmlessly when it is still listed
      ERR_pop_to_mark();
      return LoadResult::kReady;
    }
  }
  if (free_slots == 0) return LoadResult::kLoadFailed;

  ENGINE_ctrl_cmd_string(engine.get(), "LIST_ADD", "1", 0);  // not checked
  if (!ENGINE_ctrl_cmd_string(engine.get(), "SO_PATH", path, 0) ||
      !ENGINE_ctrl_cmd_string(engine.get(), "LOAD", nullptr, 0)) {
    return LoadResult::kLoadFailed;  // the dynamic copy is freed with its context
  }
  if (!ENGINE_init(engine.get())) {
    // Off the tables and the list; freeing the lookup reference then frees
    // the engine and unloads its module.
    UnlistEngine(engine.get());
    return LoadResult::kInitFailed;
  }
  KeepEngine(engine.get());   // a slot is free: checked above
  return LoadResult::kReady;  // the lookup reference goes with ENGINE
}

void EngineModules::ReleaseAll() noexcept {
  for (size_t i = 0; i < kMaxEngines; ++i) ReleaseEngineAt(i);
  CleanupEngines();
}

void EngineModules::ReleaseNamed(const char* id) noexcept {
  if (!id) return;
  for (size_t i = 0; i < kMaxEngines; ++i) {
    const char* eid = m_apEngines[i] ? ENGINE_get_id(m_apEngines[i].get()) : nullptr;
    if (eid && strcmp(eid, id) == 0) ReleaseEngineAt(i);
  }
}

ossl::Ptr<ENGINE> EngineModules::FindListedEngine(const char* id) noexcept {
  if (!id) return nullptr;
  // ENGINE_get_next releases the reference to the engine it is handed and
  // returns the next one with a new reference, so E always holds exactly one.
  for (ENGINE* e = ENGINE_get_first(); e; e = ENGINE_get_next(e)) {
    const char* eid = ENGINE_get_id(e);
    if (eid && strcmp(eid, id) == 0) return ossl::Ptr<ENGINE>(e);
  }
  return nullptr;
}

// OpenSSL 1.0's ENGINE_cleanup emptied the engine list and every default-
// method table; in 3.0 it is an empty macro and the library keeps both until
// the process ends.  Here the system's own module engines are taken out of
// the method tables (which drops the references the tables hold) and out of
// the engine list (which drops the list's reference).  An engine is freed,
// and its module unloaded, once nobody else holds a reference to it; an
// engine still referenced by a live key stays alive off the list.
void EngineModules::CleanupEngines() noexcept {
  for (const char* id : kModuleEngineIds) {
    ossl::Ptr<ENGINE> e = FindListedEngine(id);
    if (e) UnlistEngine(e.get());
  }
}

void EngineModules::UnlistEngine(ENGINE* e) noexcept {
  ENGINE_unregister_RSA(e);
  ENGINE_unregister_DSA(e);
  ENGINE_unregister_EC(e);
  ENGINE_unregister_DH(e);
  ENGINE_unregister_RAND(e);
  ENGINE_unregister_ciphers(e);
  ENGINE_unregister_digests(e);
  ENGINE_unregister_pkey_meths(e);
  ENGINE_unregister_pkey_asn1_meths(e);
  // An engine whose id was already listed when it loaded was never added;
  // ENGINE_remove then only queues an error, which is dropped again.
  ERR_set_mark();
  ENGINE_remove(e);
  ERR_pop_to_mark();
}

void EngineModules::ReleaseEngineAt(size_t i) noexcept {
  if (i >= kMaxEngines || !m_apEngines[i]) return;
  UnlistEngine(m_apEngines[i].get());
  // ENGINE_finish runs the engine's finish function and drops the last
  // reference: the engine is freed and its module unloaded, unless a key
  // or a caller's lookup still holds it.
  m_apEngines[i].reset();
}

bool EngineModules::KeepEngine(ENGINE* e) noexcept {
  for (auto& slot : m_apEngines) {
    if (!slot) {
      slot.reset(e);
      return true;
    }
  }
  return false;
}

}  // namespace tolmix
