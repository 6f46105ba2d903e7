// The control's persistence: IPersistPropertyBag (the <param>s of an HTML
// <object> element) and IPersistStreamInit.  The control has no
// persistent properties of its own: what is kept is the version stamp 1.0
// and the extent (_ExtentX, _ExtentY in HIMETRIC).  Loading a property
// bag reads the <param> of each property the type information lists and
// assigns it, which converts it to the property's type and stores
// nothing (a value that does not convert is passed over); any other
// <param> is never read.  IUnknown is the object's own (the class that
// derives from this one).
//
// Included after the Windows headers.
#pragma once

#include <ole2.h>
#include <ocidl.h>

#include "control/win32/Embedding.h"

namespace tolmix::win32 {

class Persist : public IPersistPropertyBag, public IPersistStreamInit {
 public:
  // CLSID: the control's class; STATE: its embedding.
  Persist(const CLSID& clsid, Embedding& state) : clsid_(clsid), state_(state) {}
  virtual ~Persist() = default;
  Persist(const Persist&) = delete;
  Persist& operator=(const Persist&) = delete;

  // IPersist, of both.
  STDMETHODIMP GetClassID(CLSID* out) override;
  // InitNew, of both: a new control has nothing to set up.
  STDMETHODIMP InitNew() override { return S_OK; }

  // IPersistPropertyBag
  STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
  STDMETHODIMP Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;

  // IPersistStreamInit
  STDMETHODIMP IsDirty() override { return Modified() ? S_OK : S_FALSE; }
  STDMETHODIMP Load(LPSTREAM stream) override;
  STDMETHODIMP Save(LPSTREAM stream, BOOL clearDirty) override;
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;

 protected:
  // The object's dispatch interface (no reference added), through which
  // the properties are assigned.
  virtual IDispatch* Dispatch() = 0;
  // Whether a property was assigned since the last load or save; the
  // second clears it.
  virtual bool Modified() = 0;
  virtual void ClearModified() = 0;

 private:
  CLSID clsid_;
  Embedding& state_;
};

}  // namespace tolmix::win32
