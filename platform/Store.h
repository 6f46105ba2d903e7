// The soft certificate store: the stand-in for the current user's CryptoAPI
// system store "MY" and for installing keys into the soft providers.  The
// store lives under StoreDir() ($TOLMIX_STORE_DIR); docs/store.md describes
// every file.  Readers take no lock; writers serialise on a lock file and
// replace each file atomically (temporary file + rename), so a reader sees
// either the old or the new content of a file, never a partial one.
//
// Names (provider, container) are GBK byte strings; see platform/SoftProvider.h
// for what a valid name is.
#pragma once

#include <openssl/evp.h>

#include <string>
#include <string_view>
#include <vector>

namespace tolmix::platform {

// One certificate of "MY" with its key-provider information.
struct StoreCertificate {
  std::string thumbprint;          // SHA-1 of the DER, 40 upper-case hex digits
  std::vector<unsigned char> der;  // the certificate as imported
  std::string provider;            // provider name, "" when the certificate has no key
  std::string container;           // key container name, "" likewise
};

// Reads the "MY" store in store order (the order of import; a re-import
// keeps the first place).  A store that does not exist yet is empty and
// opens fine.  False, with a short English reason in *ERROR, when the store
// exists but cannot be read (index unreadable, root not a folder).  Entries
// whose certificate file is missing or unreadable are left out.
bool ReadMyStore(std::vector<StoreCertificate>* out, std::string* error = nullptr);

// Adds DER to "MY" with the given key-provider information (both empty, or
// both valid names).  The DER must decode as an X.509 certificate.  A
// certificate already in the store keeps its place and gets the new
// key-provider information.  *THUMBPRINT, when given, receives its thumbprint.
bool ImportToMy(const std::vector<unsigned char>& der, std::string_view provider,
                std::string_view container, std::string* thumbprint,
                std::string* error = nullptr);

// Removes the certificate with THUMBPRINT (case-insensitive) from "MY".
// False when it is not there.  The key container is left alone.
bool RemoveFromMy(std::string_view thumbprint, std::string* error = nullptr);

// Installs soft provider NAME: adds it at the end of the enumeration order
// and creates its folder (0700).  Adding an installed provider succeeds and
// changes nothing.
bool AddSoftProvider(std::string_view name, std::string* error = nullptr);

// Writes KEY as the private key of CONTAINER in installed provider PROVIDER:
// unencrypted PKCS#8 PEM, mode 0600, replacing an existing key.
bool PutContainerKey(std::string_view provider, std::string_view container, EVP_PKEY* key,
                     std::string* error = nullptr);

// Deletes the key of CONTAINER in PROVIDER.  False when there is none.
bool RemoveContainerKey(std::string_view provider, std::string_view container,
                        std::string* error = nullptr);

// SHA-1 thumbprint of DER as 40 upper-case hex digits.
std::string Thumbprint(const std::vector<unsigned char>& der);

}  // namespace tolmix::platform
