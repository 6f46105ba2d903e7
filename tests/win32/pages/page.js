// Page calls, each printed as one line; run.sh runs
// this through `tolmix run` on Linux and cscript under Wine and the lines
// must be the same.  Argument 0: the folder of make-data.sh's files.
var dir = WScript.Arguments(0);
var c = new ActiveXObject("TOLMIX.TOLMIXCtrl.1");
function out(label, v) { WScript.Echo(label + "=" + v); }

// A literal of the script's own text: cscript reads the script in the ANSI
// code page, so run.sh hands it a GBK copy.
out("literal", c.Digest("中文 literal", 5) + "|" + c.DigestData + "|" +
    c.CertParsePfx(dir + "证书.pfx", "1234", "") + "|" + (c.GetSubjectEx("CN") === "张三"));
out("fresh", [c.SignedData, c.ErrorCode, c.GetLastErrorInfo(0)].join("|"));
var algos = [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, -1];
for (var i = 0; i < algos.length; i++) {
  out("digest " + algos[i], c.Digest("\u4e2d\u6587 text", algos[i]) + "|" + c.DigestData);
}
out("pfx", c.CertParsePfx(dir + "\u8bc1\u4e66.pfx", "1234", ""));
out("version", c.GetCertVersion());
out("serial", c.GetSerialNumber());
out("algorithm", c.GetSignatureAlgorithm());
out("issuer", c.GetIssuer());
out("subject", c.GetSubject());
out("not before", c.GetNotBefore());
out("not after", c.GetNotAfter());
out("key usage", c.GetKeyUsage());
out("subject CN", c.GetSubjectEx("CN"));
out("subject S", c.GetSubjectEx("S"));
out("issuer CN", c.GetIssuerEx("CN"));
out("extension", c.GetExtensionInfo("2.5.29.37"));
var items = [1001, 1002, 1003, 2001, 2007, 3001, 3006, 3007, 3011, 3012, 3031, 3043, 9999];
for (var i = 0; i < items.length; i++) {
  out("pfx item " + items[i], c.GetCertInfoPfx(dir + "\u8bc1\u4e66.pfx", items[i], "1234"));
}
out("missing pfx", c.GetCertInfoPfx(dir + "\u65e0.pfx", 3001, "1234") + "|" + c.GetLastErrorInfo(0));
out("wrong password", c.CertParsePfx(dir + "\u8bc1\u4e66.pfx", "4321", ""));
out("bad cert", c.CertParse("not a certificate") + "|" + c.GetLastErrorInfo(0));
out("error 1", "[" + c.GetLastErrorInfo(1) + "]");
out("issuer check", c.VerifyCert("") + "|" + c.GetLastErrorInfo(0));
c.SignedData = "assigned";
out("put", "[" + c.SignedData + "]");
out("no session sign", c.Sign("x") + "|" + c.GetLastErrorInfo(0));
// The sandbox's soft SKF key, as each side found it: a wrong PIN costs a
// try, the right one opens the session.
out("skf wrong pin", c.SetPasswd("SKF", "000000", 1) + "|" + c.Sign("x") + "|" + c.GetLastErrorInfo(0));
out("skf pin", c.SetPasswd("SKF", "888888", 1) + "|" + c.Sign("x") + "|" + c.GetLastErrorInfo(0));
