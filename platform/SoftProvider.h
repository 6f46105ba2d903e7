// Soft key providers of the certificate store: the stand-in for the
// CryptoAPI providers and their key containers.  This header is the read
// side only (paths, enumeration, private-key reading); it depends on nothing
// but platform/Env.h and OpenSSL, so the "capi" engine module can compile
// platform/SoftProvider.cpp and platform/Env.cpp into itself without the
// core.  The on-disk layout is described in docs/store.md; writers live in
// platform/Store.h.
//
// Provider and container names are byte strings in the system code page
// (GBK).  A name is refused when it is empty or holds a NUL, "\t", "\r" or
// "\n"; on disk each name appears percent-encoded (EncodeName).
#pragma once

#include <openssl/evp.h>

#include <string>
#include <string_view>
#include <vector>

namespace tolmix::platform {

// File names under StoreDir().
inline constexpr char kProvidersDirName[] = "providers";
inline constexpr char kProvidersIndexName[] = "providers/index";
inline constexpr char kKeyFileSuffix[] = ".key";

// True when NAME may name a provider or a container.
bool IsValidStoreName(std::string_view name);

// Percent-encodes NAME for use as one path element: bytes A-Z a-z 0-9 "-"
// "_" stay, every other byte (".", space, GBK bytes...) becomes "%XX" with
// upper-case hex digits.  The result never starts with "." and never holds
// "/", and the mapping is one-to-one.
std::string EncodeName(std::string_view name);

// Inverse of EncodeName.  False for a malformed text (*out cleared).
bool DecodeName(std::string_view encoded, std::string* out);

// Folder of provider PROVIDER: StoreDir()/providers/<EncodeName(PROVIDER)>.
std::string ProviderDir(std::string_view provider);

// Key file of container CONTAINER in provider PROVIDER:
// ProviderDir(PROVIDER)/<EncodeName(CONTAINER)>.key.
std::string ContainerKeyPath(std::string_view provider, std::string_view container);

// Names of the installed soft providers in enumeration order: the order of
// the lines of providers/index, which is the order in which they were added.
// A missing index means no provider.  Lines that do not decode are skipped.
std::vector<std::string> ListSoftProviders();

// CryptEnumProvidersA-shaped enumeration over ListSoftProviders().  With
// NAME null, stores the size of provider INDEX's name including its NUL in
// *SIZE and returns true.  With NAME given, copies the name when *SIZE is
// large enough (true), else stores the needed size and returns false.
// False when INDEX is past the last provider.
bool EnumSoftProvider(unsigned index, char* name, unsigned* size);

// Names of the containers that provider PROVIDER holds a key for, sorted
// bytewise.  Empty when the provider or its folder does not exist.
std::vector<std::string> ListContainers(std::string_view provider);

// Reads the private key of container CONTAINER of provider PROVIDER (an
// unencrypted PKCS#8 PEM file).  Returns a new key that the caller owns and
// frees with EVP_PKEY_free, or nullptr when the names are invalid, the
// provider is not installed, the file is missing or unreadable, or does not
// hold a private key.  A key file that is readable by group or others is
// refused as well (ERROR then says so): the store keeps keys owner-only.
// ERROR, when given, receives a short English reason on failure.
EVP_PKEY* ReadContainerKey(std::string_view provider, std::string_view container,
                           std::string* error = nullptr);

}  // namespace tolmix::platform
