#include "control/TOLMIXCtrl.h"

#include <cstring>
#include <new>

#include <openssl/crypto.h>

#include "control/Guids.h"
#include "control/Session.h"
#include "util/FixedText.h"

namespace tolmix {
namespace {

std::atomic<long> g_liveControls{0};

}  // namespace

CTOLMIXCtrl* CTOLMIXCtrl::Create() { return new (std::nothrow) CTOLMIXCtrl(); }

CTOLMIXCtrl::CTOLMIXCtrl() {
  static_assert(sizeof m_szInterface == 256 && sizeof m_szGMDllName == 256 &&
                sizeof m_szPassword == 256 && sizeof m_szLastError == 512);
  static_assert(sizeof m_szInterface == control::kSessionFieldSize);
  memset(m_szInterface, 0, sizeof m_szInterface);
  memset(m_szGMDllName, 0, sizeof m_szGMDllName);
  memset(m_szPassword, 0, sizeof m_szPassword);
  memset(m_szLastError, 0, sizeof m_szLastError);
  // A control created after a page set up the session starts with its
  // selector.
  control::ReadSessionInterface(m_szInterface);
  ++g_liveControls;
}

// The password field is wiped, not merely freed with the object.
CTOLMIXCtrl::~CTOLMIXCtrl() {
  OPENSSL_cleanse(m_szPassword, sizeof m_szPassword);
  --g_liveControls;
}

platform::HRESULT CTOLMIXCtrl::QueryInterface(const platform::IID& iid, void** out) {
  if (out == nullptr) return platform::E_POINTER;
  if (iid == platform::IID_IUnknown || iid == platform::IID_IDispatch ||
      iid == control::DIID__DTOLMIX) {
    *out = static_cast<platform::IDispatch*>(this);
    AddRef();
    return platform::S_OK;
  }
  if (iid == control::IID_IObjectSafety) {
    *out = static_cast<control::IObjectSafety*>(&m_xObjSafe);
    AddRef();
    return platform::S_OK;
  }
  *out = nullptr;
  return platform::E_NOINTERFACE;
}

platform::ULONG CTOLMIXCtrl::AddRef() { return ++m_refs; }

platform::ULONG CTOLMIXCtrl::Release() {
  platform::ULONG left = --m_refs;
  if (left == 0) delete this;
  return left;
}

std::string CTOLMIXCtrl::GetLastErrorInfo(int32_t errorid) const {
  if (errorid != 0) return std::string();
  return std::string(m_szLastError, strnlen(m_szLastError, sizeof m_szLastError));
}

void CTOLMIXCtrl::RecordError(const char* text) { CopyBounded(m_szLastError, text); }

namespace control {

platform::HRESULT CreateControl(const platform::IID& iid, void** out) {
  if (out == nullptr) return platform::E_POINTER;
  *out = nullptr;
  CTOLMIXCtrl* ctrl = CTOLMIXCtrl::Create();
  if (ctrl == nullptr) return platform::E_OUTOFMEMORY;
  platform::HRESULT hr = ctrl->QueryInterface(iid, out);
  ctrl->Release();  // the reference of Create; *OUT holds its own
  return hr;
}

long LiveControlCount() { return g_liveControls.load(); }

}  // namespace control
}  // namespace tolmix
