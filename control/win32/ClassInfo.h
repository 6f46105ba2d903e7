// The control's class information and events: IProvideClassInfo2 hands
// out the coclass TOLMIX of the module's type library and names
// _DTOLMIXEvents as its default source; IConnectionPointContainer has no
// connection points (the event interface has no events), so a container
// finds none and enumerates none.  IUnknown is the object's own (the class
// that derives from this one).
//
// Included after the Windows headers.
#pragma once

#include <ole2.h>
#include <ocidl.h>

namespace tolmix::win32 {

class ClassInfo : public IProvideClassInfo2, public IConnectionPointContainer {
 public:
  // CLSID: the coclass; EVENTS: its default source interface.
  ClassInfo(const CLSID& clsid, const IID& events) : clsid_(clsid), events_(events) {}
  virtual ~ClassInfo() = default;
  ClassInfo(const ClassInfo&) = delete;
  ClassInfo& operator=(const ClassInfo&) = delete;

  // IProvideClassInfo2
  STDMETHODIMP GetClassInfo(ITypeInfo** out) override;
  STDMETHODIMP GetGUID(DWORD kind, GUID* out) override;

  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override;
  STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

 private:
  CLSID clsid_;
  IID events_;
};

}  // namespace tolmix::win32
