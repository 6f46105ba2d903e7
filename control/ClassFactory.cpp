#include "control/ClassFactory.h"

namespace tolmix::control {

using namespace platform;

namespace {
std::atomic<long> g_locks{0};
}  // namespace

long ServerLockCount() { return g_locks.load(); }

HRESULT COleObjectFactory::QueryInterface(const IID& iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IClassFactory) {
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

HRESULT COleObjectFactory::CreateInstance(IUnknown* outer, const IID& iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  return create_(iid, out);
}

HRESULT COleObjectFactory::LockServer(bool lock) {
  if (lock) {
    ++g_locks;
  } else if (g_locks.load() > 0) {
    --g_locks;  // an unmatched unlock is ignored rather than driving the count negative
  }
  return S_OK;
}

}  // namespace tolmix::control
