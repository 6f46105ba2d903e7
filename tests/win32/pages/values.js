// Script values of every kind into the control's text, short and long
// parameters; run.sh runs this through `tolmix run` on Linux and cscript
// under Wine and the lines must be the same.  Each value goes in as the
// text of Digest (MD5, whose digest shows the text the control got), as
// Digest's algorithm code, and as GetLastErrorInfo's error id; a call the
// control refuses prints the HRESULT thrown.
var c = new ActiveXObject("TOLMIX.TOLMIXCtrl.1");
// An error on record, so that error id 0 (and what rounds to it) reads it.
WScript.Echo("check=" + c.VerifyCert("not a certificate"));
function call(label, f) {
  var r;
  try {
    r = f();
  } catch (e) {
    r = "throws " + (e.number >>> 0).toString(16);
  }
  WScript.Echo(label + "=" + r);
}
var values = [
  ["int", 7], ["gm code", 11], ["past codes", 12], ["negative", -2], ["minus zero", -0], ["fraction", 1.5], ["half", 2.5],
  ["negative half", -2.5], ["odd half", 3.5], ["tenth", 0.1], ["third", 1 / 3],
  ["just below half", 2.4999999], ["huge", 1e10], ["huger", 1e20], ["tiny", 1e-7],
  ["past long", 2147483648], ["below long", -2147483649], ["past short", 32768],
  ["short max half", 32767.5], ["true", true], ["false", false], ["null", null],
  ["undefined", undefined], ["empty text", ""], ["words", "abc"], ["text fraction", "2.7"],
  ["text half", "2.5"], ["text grouped", "1,000"], ["text hex", "&H5"], ["text octal", "&O7"],
  ["text exponent", "5e-1"], ["text parens", "(3)"], ["text trailing minus", "3-"],
  ["text blanks", " 4 "], ["text huge", "1e10"], ["date", new Date(2024, 0, 2, 3, 4, 5)],
  ["array", [1, 2.5, "x"]], ["object", {a: 1}]
];
for (var i = 0; i < values.length; i++) {
  var label = values[i][0], v = values[i][1];
  call(label + " as text", function () { return c.Digest(v, 2) + "|" + c.DigestData; });
  call(label + " as algorithm", function () { return c.Digest("abc", v) + "|" + c.DigestData; });
  call(label + " as error id", function () { return "[" + c.GetLastErrorInfo(v) + "]"; });
}
