// demo.js: a tour of the tolmix control, written as a page would script it.
//
// It creates the control by its ProgID and calls every member group on one
// route ("P11", "SKF" or "CSP"), printing one line per check:
//   ROUTE  MEMBER  ok|FAIL  short value
// and, last, "ROUTE: N passed, N failed".  It quits with status 1 when a
// check failed.
//
// `tolmix demo` runs it once per route against a fresh sandbox.  By hand,
// after `. SANDBOX/env.sh` (see README.md, "Sandbox"):
//   tolmix run demo.js route=P11 pin=123456 work=/tmp/w \
//     recipient="$(cat $TOLMIX_SANDBOX_PKI/p11-exchange.pem)" \
//     other="$(cat $TOLMIX_SANDBOX_PKI/quenmark-user.pem)" \
//     pfx=FILE.pfx pfxpass=PASSWORD
// Arguments are NAME=VALUE:
//   route      the interface to set up with SetPasswd
//   pin        its PIN ("" for CSP)
//   recipient  PEM of the certificate whose device key decrypts on this
//              route (what a page would carry for Encrypt)
//   other      PEM of a certificate from another issuer, with the
//              identity extension 1.2.156.10260.4.1.1
//   work       an existing folder for the files of EncryptFile/DecryptFile
//   pfx        a PKCS#12 file with its password pfxpass (optional: the
//              PFX checks and the file round trip are skipped without it)
// The route decides which key answers: on "P11" the SKF key must be
// unplugged (the SKF probe runs first), on "CSP" the certificate chooser
// must answer (`tolmix demo` sets TOLMIX_CHOOSER=first there, and =cancel
// on the other routes, where only AboutBox shows the chooser).

var args = {};
for (var i = 0; i < WScript.Arguments.length; i++) {
  var a = WScript.Arguments(i), eq = a.indexOf("=");
  if (eq > 0) args[a.substring(0, eq)] = a.substring(eq + 1);
}
var route = args.route || "P11";
var pin = args.pin || "";
// PEM texts compare with one final line feed, however the shell passed them.
function pem(text) { return text && text.charAt(text.length - 1) !== "\n" ? text + "\n" : text || ""; }
var recipient = pem(args.recipient);
var other = pem(args.other);
var work = args.work || "";

var c = new ActiveXObject("TOLMIX.TOLMIXCtrl.1");
var passed = 0, failed = 0;

function pad(s, n) {
  s = String(s);
  while (s.length < n) s += " ";
  return s;
}

// The first line of V, cut to fit the report, with the length of a longer text.
function brief(v) {
  var s = String(v), nl = s.indexOf("\n");
  var line = nl >= 0 ? s.substring(0, nl) : s;
  if (line.length > 56) line = line.substring(0, 53) + "...";
  if (line.length < s.length) line += " (" + s.length + " chars)";
  return line;
}

function check(member, ok, value) {
  if (ok) passed++; else failed++;
  WScript.Echo(pad(route, 5) + pad(member, 34) + (ok ? "ok  " : "FAIL") + "  " + brief(value));
  if (!ok) WScript.Echo(pad("", 39) + "last error: " + c.GetLastErrorInfo(0));
}

// Runs one member group; an exception counts as one failed check.
function group(name, body) {
  try {
    body();
  } catch (e) {
    check(name, false, "exception: " + (e && e.message ? e.message : e));
  }
}

function isPkcs7(text) { return String(text).indexOf("-----BEGIN PKCS7-----") === 0; }
function isCert(text) { return String(text).indexOf("-----BEGIN CERTIFICATE-----") === 0; }

var text = "\u6f14\u793a\u539f\u6587 demo text ~!@#";
var rsaSha256 = "1.2.840.113549.1.1.11", sm2Sm3 = "1.2.156.10197.1.501";
var signerCert = "";

group("properties", function () {
  check("ErrorCode", c.ErrorCode === 0, c.ErrorCode);
  check("GetLastErrorInfo(0) fresh", c.GetLastErrorInfo(0) === "", "(empty)");
  var all = ["SignedData", "EncryptedData", "DecryptedData", "AllCSP", "DigestData", "SignProData"];
  var empty = true;
  for (var i = 0; i < all.length; i++) empty = empty && c[all[i]] === "";
  check("result properties fresh", empty, "all empty");
});

group("session", function () {
  check("Initialize", c.Initialize(route, pin) === true, route);
  check("Initialize(lower case)", c.Initialize(route.toLowerCase(), pin) === false, "refused");
  check("InitializeGM", c.InitializeGM("SKFAPI.so", pin) === true, "SKFAPI.so");
  var ok = c.SetPasswd(route, pin, 1);
  // "CSP" asks the chooser for an encryption certificate at once.
  var current = c.GetCert();
  check("SetPasswd", ok === true && (route !== "CSP" || current === recipient),
        route === "CSP" ? "chosen: " + current : route);
  check("GetAllCSPInfo", c.GetAllCSPInfo() === true && c.AllCSP !== "", c.AllCSP);
});

group("Sign/Verify", function () {
  var ok = c.Sign(text);
  var signed = c.SignedData;
  signerCert = c.GetCert();
  check("Sign", ok === true && isPkcs7(signed), signed);
  check("GetCert after Sign", isCert(signerCert), signerCert);
  ok = c.Verify("", signed);
  check("Verify", ok === true && c.SignProData === text, c.SignProData);
  var damaged = signed.replace(/[A-Za-z](?=[A-Za-z0-9+\/=]*\n-----END)/, function (ch) {
    return ch === "A" ? "B" : "A";
  });
  check("Verify(damaged)", c.Verify("", damaged) === false, c.GetLastErrorInfo(0));
});

group("Encrypt/Decrypt", function () {
  var ok = c.Encrypt(text, recipient);
  var envelope = c.EncryptedData;
  check("Encrypt", ok === true && isPkcs7(envelope), envelope);
  ok = c.Decrypt(envelope);
  check("Decrypt", ok === true && c.DecryptedData === text, c.DecryptedData);
  check("GetCert after Decrypt", c.GetCert() === recipient, c.GetCert());
});

group("Digest", function () {
  // Code 11 is SHA-1 after the gmEngine module came up (its digest may replace it).
  var vectors = [[2, "MD5", "kAFQmDzST7DWlj99KOF/cg=="],
                 [3, "SHA-1", "qZk+NkcGgWq6PiVxeFDCbJzQ2J0="],
                 [4, "SHA-224", "Iwl9IjQF2CKGQqR3vaJVsyqtvOS9oLP342ydpw=="],
                 [5, "SHA-256", "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0="],
                 [6, "SHA-384", "ywB1P0WjXou1oD1pmsZQBycsMqsO3tFjGotgWkP/W+2AhgcroefMI1i67KE0yCWn"],
                 [7, "SHA-512", "3a81oZNherrMQXNJriBBMRLm+k6JqX6iCp7u5ktV05ohkpkqJ0/BqDa6PCOj/uu9RU1EI2Q86A4qmslPpUyknw=="],
                 [11, "gmEngine", null]];
  for (var i = 0; i < vectors.length; i++) {
    var v = vectors[i];
    var ok = c.Digest("abc", v[0]) === true;
    var d = c.DigestData;
    check("Digest(" + v[0] + ") " + v[1], ok && (v[2] === null ? d !== "" : d === v[2]), d);
  }
  check("Digest(1) unknown code", c.Digest("abc", 1) === false, "refused");
});

group("SignEnvelope", function () {
  var signed = c.SignEnvelope(text);
  check("SignEnvelope", isPkcs7(signed) && c.SignedData === signed, signed);
  check("VerifySignEnvelope", c.VerifySignEnvelope(signed) === text, c.VerifySignEnvelope(signed));
});

group("P1Sign/P1Verify", function () {
  var ok = c.P1Sign(text);
  var block = c.SignedData;
  check("P1Sign", ok === true && block !== "" && block.indexOf("\n") < 0, block);
  check("GetCert after P1Sign", c.GetCert() === signerCert, c.GetCert());
  check("P1Verify", c.P1Verify(text, block) === true, "verified");
  check("P1Verify(other text)", c.P1Verify(text + "!", block) === false, c.GetLastErrorInfo(0));
  check("GetLastErrorInfo(1)", c.GetLastErrorInfo(1) === "", "(empty)");
});

group("GetCertEx", function () {
  // Only "P11" reads the device; the others answer the current certificate.
  var current = c.GetCert();
  var exchange = c.GetCertEx(1), signature = c.GetCertEx(2);
  if (route === "P11") {
    check("GetCertEx(1) exchange", exchange === recipient, exchange);
    check("GetCertEx(2) signature", signature === signerCert, signature);
  } else {
    check("GetCertEx(1)", exchange === current, exchange);
    check("GetCertEx(2)", signature === current, signature);
  }
});

group("EncryptFile/DecryptFile", function () {
  if (!args.pfx || !work) {
    WScript.Echo(pad(route, 5) + pad("EncryptFile/DecryptFile", 34) + "skip  (no pfx= or work=)");
    return;
  }
  // The PFX is the plain file: it opens again only if every byte came back.
  var enc = work + "/" + route + "-pfx.p7", back = work + "/" + route + "-back.pfx";
  check("EncryptFile", c.EncryptFile(args.pfx, enc, recipient) === true, enc);
  check("DecryptFile", c.DecryptFile(enc, back) === true, back);
  check("GetCert after DecryptFile", c.GetCert() === recipient, c.GetCert());
  var cn = c.GetCertInfoPfx(back, 3007, args.pfxpass || "");
  check("decrypted file intact", cn !== "", "PFX subject CN " + cn);
});

group("certificate queries", function () {
  var sm2 = route === "SKF";
  check("CertParse", c.CertParse(signerCert) === true, "signer certificate");
  check("GetCertVersion", c.GetCertVersion() === "2", c.GetCertVersion());
  check("GetSerialNumber", /^[0-9a-f]+$/.test(c.GetSerialNumber()), c.GetSerialNumber());
  var alg = c.GetSignatureAlgorithm();
  check("GetSignatureAlgorithm", alg === (sm2 ? sm2Sm3 : rsaSha256), alg);
  check("GetIssuer", c.GetIssuer().indexOf("CN=") >= 0, c.GetIssuer());
  check("GetSubject", c.GetSubject().indexOf("CN=") >= 0, c.GetSubject());
  var dateForm = /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/;
  check("GetNotBefore", dateForm.test(c.GetNotBefore()), c.GetNotBefore());
  check("GetNotAfter", dateForm.test(c.GetNotAfter()), c.GetNotAfter());
  check("GetKeyUsage", c.GetKeyUsage() === "192", c.GetKeyUsage() + " (digitalSignature, nonRepudiation)");
  var cn = c.GetSubjectEx("cn"), issuerCn = c.GetIssuerEx("CN");
  check("GetSubjectEx(cn)", cn !== "", cn);
  check("GetIssuerEx(CN)", issuerCn === (sm2 ? "ORVASM2" : route === "CSP" ? "ORVA" : "ORVARSA"),
        issuerCn);
  // GetExtensionInfo reads the current certificate (the last device key's).
  var ku = c.GetExtensionInfo("X509v3 Key Usage");
  check("GetExtensionInfo", ku !== "", ku);
  check("VerifyCert(signer)", c.VerifyCert(signerCert) === true, "issuer accepted");
  check("VerifyCert(other issuer)", c.VerifyCert(other) === false, "issuer refused");

  var items = [[1001, "2"], [1002, "192"], [1003, sm2 ? sm2Sm3 : rsaSha256], [3007, cn],
               [2007, issuerCn]];
  for (var i = 0; i < items.length; i++) {
    var got = c.GetCertInfo(signerCert, items[i][0], "");
    check("GetCertInfo(" + items[i][0] + ")", got === items[i][1], got);
  }
  var days = c.GetCertInfo(signerCert, 3043, "");
  check("GetCertInfo(3043) days left", /^\d+$/.test(days) && days > 0, days);
  check("GetCertInfo(3051) current", c.GetCertInfo(signerCert, 3051, "") === c.GetCert(), "as GetCert");
  check("GetCertInfo(3012, CN)", c.GetCertInfo(signerCert, 3012, "CN") === cn, cn);
  check("GetCertInfo(9999) unknown", c.GetCertInfo(signerCert, 9999, "") === "\u672a\u77e5\u7684\u53c2\u6570",
        c.GetCertInfo(signerCert, 9999, ""));
  var id = c.GetCertInfo(other, 3021, "1.2.156.10260.4.1.1");
  check("GetCertInfo(3021) extension", id.indexOf("110101199001011234") >= 0, id);
});

group("PFX queries", function () {
  if (!args.pfx) {
    WScript.Echo(pad(route, 5) + pad("CertParsePfx", 34) + "skip  (no pfx=)");
    return;
  }
  var pass = args.pfxpass || "";
  check("CertParsePfx(wrong password)", c.CertParsePfx(args.pfx, pass + "x", "") === false, "refused");
  check("CertParsePfx", c.CertParsePfx(args.pfx, pass, "") === true, args.pfx);
  var cn = c.GetSubjectEx("CN");
  check("getters after CertParsePfx", cn !== "" && c.GetIssuerEx("CN") === "ORVARSA", cn);
  check("GetCertInfoPfx(3007)", c.GetCertInfoPfx(args.pfx, 3007, pass) === cn, cn);
  check("GetCertInfoPfx(3012) unknown", c.GetCertInfoPfx(args.pfx, 3012, pass) === "\u672a\u77e5\u7684\u53c2\u6570",
        c.GetCertInfoPfx(args.pfx, 3012, pass));
  check("GetCertInfoPfx(wrong password)", c.GetCertInfoPfx(args.pfx, 3007, pass + "x") === "",
        c.GetLastErrorInfo(0));
});

group("AboutBox", function () {
  // It shows the certificate chooser for browsing; `tolmix demo` lets the
  // chooser cancel on the routes other than "CSP" (TOLMIX_CHOOSER=cancel).
  if (route === "CSP") return;
  c.AboutBox();
  check("AboutBox", true, "chooser shown and closed");
});

group("ClearPasswd", function () {
  var before = c.SignedData;
  c.SignedData = "assigned by the script";
  check("SignedData is read-only", c.SignedData === before, "assignment ignored");
  check("ClearPasswd", c.ClearPasswd() === true, "session emptied");
  check("SignEnvelope without session", c.SignEnvelope(text) === "", "(empty)");
  var second = new ActiveXObject("TOLMIX.TOLMIXCtrl.1");
  check("SetPasswd again, 2nd control", c.SetPasswd(route, pin, 1) === true &&
        second.VerifySignEnvelope(second.SignEnvelope(text)) === text, "shares the session");
});

WScript.Echo(route + ": " + passed + " passed, " + failed + " failed");
WScript.Quit(failed === 0 ? 0 : 1);
