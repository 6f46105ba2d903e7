// Test bed of key and certificate loading: the SKF bed of tests/skf (system
// directory, GM_SKF.ini, soft SKF token) plus, on request, a SoftHSM2 token
// listed in P11_SKF.ini with the pkcs11_rsa_key engine module linked into
// the system directory, and a soft store in $TOLMIX_STORE_DIR.
#pragma once

#include <string>

#include "engine/CMSEngine.h"
#include "tests/skf/SkfBed.h"

namespace tolmix::keyloadtest {

constexpr char kP11Pin[] = "123456";
constexpr char kP11SoPin[] = "87654321";

struct KeyLoadBed {
  // Creates the SKF bed and the store folder; with WITH_P11 also the
  // SoftHSM2 token: a signature pair (CKA_ID 01, CN "P11 Signer") and an
  // exchange pair (CKA_ID 02, CN "P11 Exchange").
  bool Create(bool with_p11);
  void Remove();
  // An empty SKF token with KEY1/APP1 and the test PINs.
  bool ResetSkfToken();

  skftest::SkfBed skf;
  std::string store_dir;
  std::string p11_sign_pem, p11_exchange_pem;
};

// The error text of ENGINE as UTF-8 ("?" when it is not GBK).
std::string ErrorUtf8(const CMSEngine& engine);

// Puts the module of route MODULE ("gmEngine", "capi", "pkcs11_rsa_key")
// into the system directory DIR: the engine module FILE, or with the
// provider back end the key provider (FILE then names tolmixprov.so).
bool LinkRouteModule(const std::string& dir, const std::string& module, const char* file);

// The engine module ROUTE stands for: "gmEngine", "capi",
// "pkcs11_rsa_key" ("" for none), whichever key back end was built.
std::string RouteModule(const KeyRoute& route);

}  // namespace tolmix::keyloadtest
