// The property page of the control, CTOLMIXPropPage, as a COM object of
// Windows (IPropertyPage).  Names no Windows type, like ComControl.h.
#pragma once

namespace tolmix::win32 {

// Creates a page and hands out interface IID (a Windows IID) in *OUT: an
// HRESULT.
long CreatePropertyPage(const void* iid, void** out);

// Number of pages alive (DllCanUnloadNow).
long LivePropertyPages();

}  // namespace tolmix::win32
