#include "modules/capi/ContainerRead.h"

#include <algorithm>
#include <vector>

#include "modules/capi/CapiErrors.h"
#include "platform/SoftProvider.h"

namespace tolmix::capi {

ossl::Ptr<EVP_PKEY> ReadContainerPrivateKey(std::string provider, const char* container) {
  if (!container || !*container) {
    RaiseError(kReasonBadArgument, "no key container name given");
    return nullptr;
  }
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
  return real;
}

}  // namespace tolmix::capi
