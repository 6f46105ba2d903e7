// Prints a fingerprint of the file named by the argument (of nothing when
// there is no such file): two 32-bit FNV-1a hashes of its text as read in
// the ANSI code page, 16 hex digits.  install.cmd keeps the fingerprint of
// each device list it writes; uninstall.cmd removes a list only while its
// fingerprint is still that one, i.e. nobody edited it.
var fso = new ActiveXObject("Scripting.FileSystemObject");
var path = WScript.Arguments(0);
var text = fso.FileExists(path) ? fso.OpenTextFile(path, 1, false, 0).ReadAll() : "";
function fnv(seed) {
  var h = seed;
  for (var i = 0; i < text.length; ++i) {
    h ^= text.charCodeAt(i);
    h = (h * 0x193 + ((h << 24) >>> 0)) >>> 0;  // h * 16777619, modulo 2^32
  }
  return h;
}
function hex(n) {
  var s = n.toString(16);
  while (s.length < 8) s = "0" + s;
  return s;
}
WScript.Echo(hex(fnv(0x811c9dc5)) + hex(fnv(0x050c5d1f)));
