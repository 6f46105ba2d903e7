// CTOLMIXPropPage: the control's only property page, "General".  It shows
// one static text and no field bound to a property, so applying it changes
// nothing on the control.  On this platform the page is its dialog
// template as data (ITolmixPropertyPage::GetTemplate); `tolmix properties`
// shows it.
//
// Also here: CTOLMIXCtrl::AboutBox, which opens the certificate chooser.
#pragma once

#include "platform/Com.h"

namespace tolmix::control {

// The page's interface.
// {C1C094D8-4C4F-4355-8900-73D7B9E648D5}
inline constexpr platform::IID IID_ITolmixPropertyPage = {
    0xC1C094D8, 0x4C4F, 0x4355, {0x89, 0x00, 0x73, 0xD7, 0xB9, 0xE6, 0x48, 0xD5}};

// Dialog template 200 of the page.  Texts are ASCII.
struct PropPageTemplate {
  int id;
  int cx, cy;  // dialog units
  const char* font;
  int pointSize;
  const char* caption;     // string resource 200
  const char* staticText;  // the template's only control
};

class ITolmixPropertyPage : public platform::IUnknown {
 public:
  // *OUT points at the page's template, owned by the module and valid while
  // it stays loaded.
  virtual platform::HRESULT GetTemplate(const PropPageTemplate** out) = 0;
  // The page's data exchange: only the standard post-processing, so nothing
  // on any control changes.  S_OK.
  virtual platform::HRESULT Apply() = 0;

 protected:
  ~ITolmixPropertyPage() = default;
};

const PropPageTemplate& PropertyPageTemplate();

// Creates a page and hands out IID (IID_IUnknown or IID_ITolmixPropertyPage)
// in *OUT: S_OK, E_NOINTERFACE, E_POINTER or E_OUTOFMEMORY.
platform::HRESULT CreatePropPage(const platform::IID& iid, void** out);

// Number of pages alive in the process (for DllCanUnloadNow).
long LivePageCount();

}  // namespace tolmix::control
