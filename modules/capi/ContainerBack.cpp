#include "modules/capi/ContainerBack.h"

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
  if (!container || !*container) {
    RaiseError(kReasonBadArgument, "no key container name given");
    return nullptr;
  }
  std::string provider = provider_name();
  std::vector<std::string> installed = platform::ListSoftProviders();
  if (provider.empty()) {
    if (installed.empty()) {
      RaiseError(kReasonNoProvider, "no soft provider is installed");
      return nullptr;
    }
    provider = installed.front();
  } else if (std::find(installed.begin(), installed.end(), provider) == installed.end()) {
    RaiseError(kReasonNoProvider, "provider \"%s\" is not installed", provider.c_str());
    return nullptr;
  }
  std::vector<std::string> containers = platform::ListContainers(provider);
  if (std::find(containers.begin(), containers.end(), container) == containers.end()) {
    RaiseError(kReasonNoContainer, "provider \"%s\" holds no key container \"%s\"",
               provider.c_str(), container);
    return nullptr;
  }
  std::string why;
  ossl::Ptr<EVP_PKEY> real(platform::ReadContainerKey(provider, container, &why));
  if (!real) {
    RaiseError(kReasonBadKey, "key container \"%s\" of provider \"%s\": %s", container,
               provider.c_str(), why.c_str());
    return nullptr;
  }
  return MakeProxyKey(engine, method_.get(), real.get());
}

}  // namespace tolmix::capi
