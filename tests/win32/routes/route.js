// One device route, run by run.sh under Wine and through `tolmix run` on
// Linux with the messages the other side made, so that each side opens the
// other's envelope and checks the other's signature.
// Arguments: ROUTE PIN TEXT RECIPIENT [ENVELOPE SIGNED]: the route and its
// PIN, the text to sign and seal, the PEM of the certificate to seal it
// for, and the other side's envelope and signed message of TEXT.
var a = WScript.Arguments, c = new ActiveXObject("TOLMIX.TOLMIXCtrl.1");
var text = a(2);
function out(label, ok, value) {
  WScript.Echo(label + "=" + ok + "|" + (value === undefined ? "" : value + "|") + c.GetLastErrorInfo(0));
}
out("setpasswd", c.SetPasswd(a(0), a(1), 1));
out("sign", c.Sign(text));
WScript.Echo(c.SignedData);
out("encrypt", c.Encrypt(text, a(3)));
WScript.Echo(c.EncryptedData);
if (a.length > 5) {
  out("decrypt", c.Decrypt(a(4)), c.DecryptedData);
  out("verify", c.Verify(text, a(5)));
}
