// The "CSP" route under Wine: the user's certificate in "MY" with its key
// in a CryptoAPI container, reached through OpenSSL's capi engine.  Run
// by run.sh, which checks the messages with the openssl command.
// Arguments: a PKCS#7 envelope for the user and a message signed by the
// user, both made on Linux, each with its lines joined by "|".
var c = new ActiveXObject("TOLMIX.TOLMIXCtrl.1");
function lines(a) { return WScript.Arguments(a).split("|").join("\n"); }
function out(label, v) { WScript.Echo(label + "=" + v); }
out("setpasswd", c.SetPasswd("CSP", "", 1) + "|" + c.GetLastErrorInfo(0));
out("sign", c.Sign("\u4e2d\u6587 signed on Windows") + "|" + c.GetLastErrorInfo(0));
WScript.Echo(c.SignedData);
out("decrypt", c.Decrypt(lines(0)) + "|" + c.DecryptedData + "|" + c.GetLastErrorInfo(0));
