// The control as a real COM object of Windows: IUnknown, IDispatch with
// the type information of the module's type library, IObjectSafety,
// ISpecifyPropertyPages, and what an HTML <object> element's host asks of
// an invisible, windowless control: IOleObject (OleObject.h), in-place
// activation (InPlace.h), the view (ViewObject.h), persistence
// (Persist.h), class information and connection points (ClassInfo.h),
// IQuickActivate and IOleControl (Activation.h).
// It owns one CTOLMIXCtrl and hands every call to it: names and DISPIDs
// come from the dispatch table, arguments cross from the script's
// VARIANTs to the control's (control/DispatchInvoke.cpp does the rest),
// results go back as VARIANTs of the caller's.
//
// This header names no Windows type, so that it can sit beside the
// control's own headers, whose COM names are those of platform/.
#pragma once

namespace tolmix::win32 {

// The instance handle of TOLMIX.OCX, set by DllMain.
void SetModule(void* instance);
void* Module();

// Creates a control and hands out interface IID (a Windows IID) in *OUT,
// one reference the caller's: an HRESULT.
long CreateComControl(const void* iid, void** out);

// Loads the type library of TOLMIX.OCX (resource TYPELIB 1) into *LIB,
// an ITypeLib with one reference the caller's: an HRESULT.
long LoadModuleTypeLib(void** lib);

// Number of controls alive (DllCanUnloadNow).
long LiveComControls();

}  // namespace tolmix::win32
