#include "control/ObjectSafety.h"

namespace tolmix::control {

using namespace platform;

namespace {
constexpr uint32_t kBoth = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
}  // namespace

bool XObjSafe::Has(const IID& riid) {
  void* p = nullptr;
  if (Failed(outer_->QueryInterface(riid, &p)) || p == nullptr) return false;
  static_cast<IUnknown*>(p)->Release();
  return true;
}

HRESULT XObjSafe::GetInterfaceSafetyOptions(const IID& riid, uint32_t* supported,
                                            uint32_t* enabled) {
  if (supported == nullptr || enabled == nullptr) return E_POINTER;
  *supported = kBoth;
  *enabled = kBoth;
  return Has(riid) ? S_OK : E_NOINTERFACE;
}

HRESULT XObjSafe::SetInterfaceSafetyOptions(const IID& riid, uint32_t mask, uint32_t enabled) {
  if (!Has(riid)) return E_NOINTERFACE;
  if ((mask & ~kBoth) != 0) return E_FAIL;
  if ((mask & enabled & kBoth) != mask) return E_FAIL;  // turning an option off
  return S_OK;
}

}  // namespace tolmix::control
