// EngineModules: the OpenSSL engines one CMSEngine brought up from the
// system folder's engine modules, and the sweep of the engine list.  The
// engine back end only (CMake leaves it out of the provider build).
//
// Engine references -- the one rule every engine operation follows:
//  * Load: on success the new engine is on OpenSSL's engine list (the
//    list's reference) and THIS OBJECT holds its ENGINE_init reference;
//    Load's own lookup reference is released before it returns.  On
//    failure nothing stays behind: an engine that loaded but did not
//    initialise is taken off the list and freed, which unloads its module.
//  * Whoever calls ENGINE_by_id or FindListedEngine (LoadKeyAndCert's out
//    engine, the digest, the certificate-driven choice) owns that
//    structural reference and releases it (ossl::Ptr<ENGINE>) before its
//    operation returns; an ENGINE_init it takes itself it also finishes
//    itself.  A key loaded through an engine holds its own reference,
//    dropped by EVP_PKEY_free.
//  * ReleaseAll (CMSEngine::ReleaseKeyAndCert and the destructor, after the
//    key and certificate are freed): every engine this object initialised
//    is taken out of OpenSSL's default-method tables and off the list, and
//    its ENGINE_init reference finished.  With no other holder left,
//    OpenSSL frees the engine and the dynamic engine's context unloads the
//    module.  A module engine ("capi", "pkcs11_rsa_key", "gmEngine") listed
//    by anyone else is taken off the tables and the list too
//    (CleanupEngines), but only references this object took are ever
//    finished.
// The caller holds the devices lock (CMSEngine::HoldDevices) around every
// call: the list and the modules are process-wide.
#pragma once

#include <cstddef>

#include "engine/OsslPtr.h"

namespace tolmix {

class EngineModules {
 public:
  // Most engines one object keeps initialised at once (the system uses 3).
  static constexpr size_t kMaxEngines = 4;

  enum class LoadResult {
    kReady,       // initialised (or OpenSSL has no dynamic engine: nothing done)
    kLoadFailed,  // the module did not load (also: path over 255 bytes, fixed
                  // slots not reserved, more than kMaxEngines engines)
    kInitFailed,  // it loaded but did not initialise
  };

  EngineModules() = default;
  EngineModules(const EngineModules&) = delete;
  EngineModules& operator=(const EngineModules&) = delete;

  // Loads the engine module NAME (file "<NAME>.so" in platform::SystemDir())
  // through OpenSSL's dynamic engine and initialises it.  An engine of the
  // same name that this object brought up before is used again (OpenSSL 3
  // cannot bind a module twice while its engine is alive).
  LoadResult Load(const char* name) noexcept;

  // Releases every engine this object holds, then CleanupEngines.
  void ReleaseAll() noexcept;

  // Releases the engines of id ID this object holds (the rest stay).
  void ReleaseNamed(const char* id) noexcept;

  // The engine listed under ID, with a structural reference the caller now
  // owns; null when none is listed.  Unlike ENGINE_by_id it never tries to
  // load a module for an unknown id and leaves nothing on the error queue.
  static ossl::Ptr<ENGINE> FindListedEngine(const char* id) noexcept;

  // The sweep of the module engines listed by anyone: off the default-method
  // tables and off the list; no reference of another holder is finished.
  static void CleanupEngines() noexcept;

  // Takes E out of every default-method table (dropping the references the
  // tables hold) and off the engine list when it is there (dropping the
  // list's reference).  Finishes and frees nothing; leaves the error queue
  // as it was.
  static void UnlistEngine(ENGINE* e) noexcept;

 private:
  // Releases the engine in m_apEngines[I] and empties the slot.
  void ReleaseEngineAt(size_t i) noexcept;

  // Keeps the ENGINE_init reference E in a free slot of m_apEngines.  False
  // when all are taken (E is then left to the caller).
  bool KeepEngine(ENGINE* e) noexcept;

  ossl::InitializedEngine m_apEngines[kMaxEngines];  // ENGINE_init references Load took
};

}  // namespace tolmix
