// Class factories of the in-process server: one static factory per class
// the module hands out.  A factory lives from load to unload; its
// reference count is kept for the callers' sake and never deletes it.
#pragma once

#include <atomic>

#include "platform/Com.h"

namespace tolmix::control {

// {00000001-0000-0000-C000-000000000046}
inline constexpr platform::IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

class IClassFactory : public platform::IUnknown {
 public:
  // A new object with interface IID in *OUT (one reference, the caller's).
  // CLASS_E_NOAGGREGATION when OUTER is given; E_POINTER for null OUT.
  virtual platform::HRESULT CreateInstance(platform::IUnknown* outer, const platform::IID& iid,
                                           void** out) = 0;
  // Keeps the server loaded (DllCanUnloadNow answers S_FALSE) while locked.
  virtual platform::HRESULT LockServer(bool lock) = 0;

 protected:
  ~IClassFactory() = default;
};

// Number of LockServer(true) calls not yet matched, over every factory.
long ServerLockCount();

class COleObjectFactory final : public IClassFactory {
 public:
  // Makes a new object and hands out IID in *OUT, as CreateControl does.
  using Creator = platform::HRESULT (*)(const platform::IID& iid, void** out);

  // PROGID may be null for a class without one.
  COleObjectFactory(const platform::CLSID& clsid, const char* progId, Creator create)
      : clsid_(clsid), progId_(progId), create_(create) {}
  COleObjectFactory(const COleObjectFactory&) = delete;
  COleObjectFactory& operator=(const COleObjectFactory&) = delete;

  platform::HRESULT QueryInterface(const platform::IID& iid, void** out) override;
  platform::ULONG AddRef() override { return ++refs_; }
  platform::ULONG Release() override { return --refs_; }
  platform::HRESULT CreateInstance(platform::IUnknown* outer, const platform::IID& iid,
                                   void** out) override;
  platform::HRESULT LockServer(bool lock) override;

  const platform::CLSID& clsid() const { return clsid_; }
  const char* progId() const { return progId_; }

 private:
  platform::CLSID clsid_;
  const char* progId_;
  Creator create_;
  std::atomic<platform::ULONG> refs_{0};
};

}  // namespace tolmix::control
