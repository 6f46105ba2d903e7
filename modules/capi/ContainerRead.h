// The key of a soft store key container, read into the module that asks:
// the lookup the "capi" engine module and the key provider share.
#pragma once

#include <string>

#include <openssl/evp.h>

#include "engine/OsslPtr.h"

namespace tolmix::capi {

// The RSA key of key container CONTAINER (a GBK name) of soft provider
// PROVIDER ("" = the first installed provider).  Null (an error on the
// queue, CapiErrors.h) when the provider or the container is missing, the
// key is not a usable RSA key, or CONTAINER is null or empty.
ossl::Ptr<EVP_PKEY> ReadContainerPrivateKey(std::string provider, const char* container);

}  // namespace tolmix::capi
