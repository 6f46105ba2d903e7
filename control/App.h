// CTOLMIXApp: the module object of the in-process server, one global
// instance made when the module is loaded.  It holds the two class
// factories (the control, ProgID "TOLMIX.TOLMIXCtrl.1", and the property
// page) and the module's string resources; it keeps no other state (the
// process-wide session lives in control/Session.h).
#pragma once

#include "control/ClassFactory.h"

namespace tolmix::control {

// String resources.
inline constexpr int IDS_TOLMIX = 1;             // type name of the control
inline constexpr int IDS_TOLMIX_PPG = 2;         // type name of the page
inline constexpr int IDS_TOLMIX_PPG_CAPTION = 200;

// The text of string resource ID, or "" for an unknown ID.
const char* LoadResourceString(int id);

inline constexpr char kControlProgId[] = "TOLMIX.TOLMIXCtrl.1";
inline constexpr char kPageProgId[] = "TOLMIX.TOLMIXPropPage.1";

class CTOLMIXApp {
 public:
  CTOLMIXApp();
  CTOLMIXApp(const CTOLMIXApp&) = delete;
  CTOLMIXApp& operator=(const CTOLMIXApp&) = delete;

  COleObjectFactory& ControlFactory() { return control_; }
  COleObjectFactory& PageFactory() { return page_; }

  // DllGetClassObject: the factory of CLSID with interface IID in *OUT.
  // CLASS_E_CLASSNOTAVAILABLE for another class; E_POINTER for null OUT.
  platform::HRESULT GetClassObject(const platform::CLSID& clsid, const platform::IID& iid,
                                   void** out);
  // DllCanUnloadNow: S_OK when no control or page is alive and no factory
  // is locked, S_FALSE otherwise.
  platform::HRESULT CanUnloadNow() const;

 private:
  COleObjectFactory control_;
  COleObjectFactory page_;
};

extern CTOLMIXApp theApp;

}  // namespace tolmix::control
