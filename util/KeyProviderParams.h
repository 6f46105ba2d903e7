// What the system and its key provider (providers/, "tolmixprov") say to
// each other.  The system makes a key of the provider with
// EVP_PKEY_fromdata in the provider's library context (keymgmt "EC" for SM2
// keys, "RSA" for RSA keys) and these parameters; the provider's import
// finds the key on its device and keeps the device's handle, never a copy of
// a private key it could not otherwise reach.  Header-only: the engine and
// the provider module (which may not include each other) share it.
//
//   route    "skf"     SM2 key of an SKF device: PIN + key (the certificate's
//                      simple display name, GBK)
//            "soft"    RSA key of a soft store key container: store (the
//                      soft provider's name, "" = the first) + key (the
//                      container's name)
//            "token"   RSA key and certificate of the PKCS#11 token of
//                      P11_SKF.ini: PIN + key ("1" exchange, "2" signature)
//            "sm2-public"  public SM2 key: point (uncompressed), for
//                      verification only
//            "token-cert"  the token's certificate of kind key, no login:
//                      a public key whose cert is that certificate
//            "token-check" the system's PIN check on the token a key load
//                      would use (PIN; key "login", or "choice" for the
//                      choice alone): never a key, the answer is the
//                      token outcome below
//   pin-guard          with "token" and "token-check": the bytes of the
//                      system's PinGuard (util/PinGuard.h), asked before the
//                      login and told of a refusal
//   cert     (get)     DER of the certificate the "token" route found
//
// Provider parameter (OSSL_PROVIDER_get_params): "tolmix-token-outcome",
// an octet string that receives the TokenOutcome of the provider's last
// token choice and login (util/TokenOutcome.h).
#pragma once

namespace tolmix::keyprov {

inline constexpr char kProviderName[] = "tolmixprov";
inline constexpr char kPropertyQuery[] = "provider=tolmixprov";

inline constexpr char kParamRoute[] = "tolmix-route";
inline constexpr char kParamPin[] = "tolmix-pin";
inline constexpr char kParamKey[] = "tolmix-key";
inline constexpr char kParamStore[] = "tolmix-store";
inline constexpr char kParamPoint[] = "tolmix-point";
inline constexpr char kParamCert[] = "tolmix-cert";
inline constexpr char kParamPinGuard[] = "tolmix-pin-guard";
inline constexpr char kParamTokenOutcome[] = "tolmix-token-outcome";

inline constexpr char kRouteSkf[] = "skf";
inline constexpr char kRouteSoft[] = "soft";
inline constexpr char kRouteToken[] = "token";
inline constexpr char kRouteSm2Public[] = "sm2-public";
inline constexpr char kRouteTokenCert[] = "token-cert";
inline constexpr char kRouteTokenCheck[] = "token-check";

}  // namespace tolmix::keyprov
