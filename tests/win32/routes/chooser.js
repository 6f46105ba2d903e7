// The certificate chooser as a user meets it under Wine: the Win32 dialog,
// driven by drive.exe (run.sh), for SetPasswd("CSP") and for AboutBox.
var c = new ActiveXObject("TOLMIX.TOLMIXCtrl.1");
WScript.Echo("setpasswd=" + c.SetPasswd("CSP", "", 1) + "|" + c.GetLastErrorInfo(0));
WScript.Echo("subject=" + c.GetSubject());
c.AboutBox();
WScript.Echo("about=" + c.GetLastErrorInfo(0));
