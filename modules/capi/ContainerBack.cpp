#include "modules/capi/ContainerBack.h"
#include "modules/capi/ContainerRead.h"

#include <algorithm>
#include <vector>

#include "modules/capi/CapiErrors.h"
#include "platform/SoftProvider.h"

namespace tolmix::capi {

bool ContainerBack::SetProviderName(const char* name) {
  if (!name || !platform::IsValidStoreName(name)) {
    RaiseError(kReasonBadArgument, "csp_name: not a valid provider name");
    return false;
  }
  std::lock_guard lock(mutex_);
  provider_ = name;
  return true;
}

bool ContainerBack::SetLookupMethod(long method) {
  if (method != kLookupByContainer) {
    if (method == kLookupBySubject || method == kLookupByFriendlyName) {
      RaiseError(kReasonUnsupportedLookup,
                 "lookup_method %ld is not supported: keys are found by key container name "
                 "(lookup_method 3) only",
                 method);
    } else {
      RaiseError(kReasonBadArgument, "lookup_method %ld is not a lookup method", method);
    }
    return false;
  }
  std::lock_guard lock(mutex_);
  lookup_method_ = method;
  return true;
}

bool ContainerBack::SetKeyType(long type) {
  if (type != kKeyTypeExchange && type != kKeyTypeSignature) {
    RaiseError(kReasonBadArgument, "key_type %ld: 1 (exchange) or 2 (signature) expected", type);
    return false;
  }
  std::lock_guard lock(mutex_);
  key_type_ = type;
  return true;
}

std::string ContainerBack::provider_name() const {
  std::lock_guard lock(mutex_);
  return provider_;
}

long ContainerBack::lookup_method() const {
  std::lock_guard lock(mutex_);
  return lookup_method_;
}

long ContainerBack::key_type() const {
  std::lock_guard lock(mutex_);
  return key_type_;
}

ossl::Ptr<EVP_PKEY> ContainerBack::LoadPrivateKey(ENGINE* engine, const char* container) {
  ossl::Ptr<EVP_PKEY> real = ReadContainerPrivateKey(provider_name(), container);
  return real ? MakeProxyKey(engine, method_.get(), real.get()) : nullptr;
}

}  // namespace tolmix::capi
