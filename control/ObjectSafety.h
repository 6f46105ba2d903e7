// IObjectSafety of the control: the answer a container gets when it asks
// whether the control is safe to script from a page and to initialise from
// persistent data.  The control says yes to both for every interface it
// has, and refuses to have either option turned off.
#pragma once

#include <cstdint>

#include "platform/Com.h"

namespace tolmix::control {

// {CB5BDC81-93C1-11CF-8F20-00805F2CD064}
inline constexpr platform::IID IID_IObjectSafety = {
    0xCB5BDC81, 0x93C1, 0x11CF, {0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64}};

inline constexpr uint32_t INTERFACESAFE_FOR_UNTRUSTED_CALLER = 0x1;
inline constexpr uint32_t INTERFACESAFE_FOR_UNTRUSTED_DATA = 0x2;

class IObjectSafety : public platform::IUnknown {
 public:
  // Both option words of RIID's safety; S_OK when the object has RIID.
  virtual platform::HRESULT GetInterfaceSafetyOptions(const platform::IID& riid,
                                                      uint32_t* supported,
                                                      uint32_t* enabled) = 0;
  // Asks the object to enable the options of MASK that ENABLED sets and to
  // disable those it clears.
  virtual platform::HRESULT SetInterfaceSafetyOptions(const platform::IID& riid, uint32_t mask,
                                                      uint32_t enabled) = 0;

 protected:
  ~IObjectSafety() = default;
};

// The control's IObjectSafety, a part of the control object: its
// QueryInterface, AddRef and Release are those of OUTER.
//  - GetInterfaceSafetyOptions reports 3 and 3 whether or not OUTER has
//    RIID (E_POINTER for a null out pointer), and returns S_OK when it has
//    it, E_NOINTERFACE when not.
//  - SetInterfaceSafetyOptions: E_NOINTERFACE when OUTER lacks RIID; E_FAIL
//    when MASK holds a bit other than the two options or turns one of them
//    off; S_OK otherwise.  Nothing is stored: both options stay on.
class XObjSafe final : public IObjectSafety {
 public:
  explicit XObjSafe(platform::IUnknown* outer) : outer_(outer) {}
  XObjSafe(const XObjSafe&) = delete;
  XObjSafe& operator=(const XObjSafe&) = delete;

  platform::HRESULT QueryInterface(const platform::IID& iid, void** out) override {
    return outer_->QueryInterface(iid, out);
  }
  platform::ULONG AddRef() override { return outer_->AddRef(); }
  platform::ULONG Release() override { return outer_->Release(); }

  platform::HRESULT GetInterfaceSafetyOptions(const platform::IID& riid, uint32_t* supported,
                                              uint32_t* enabled) override;
  platform::HRESULT SetInterfaceSafetyOptions(const platform::IID& riid, uint32_t mask,
                                              uint32_t enabled) override;

 private:
  // True when OUTER hands out RIID.
  bool Has(const platform::IID& riid);

  platform::IUnknown* outer_;
};

}  // namespace tolmix::control
