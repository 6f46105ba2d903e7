// The cost of a bridge call, measured in one browser run: a page on an
// approved https origin makes synchronous XHR calls to
//   - a trivial loopback echo server (the floor: what any local HTTP
//     helper costs a page), and
//   - the bridge, reading the control's ErrorCode (broker, worker and one
//     IDispatch::Invoke, no cryptography), and Digest of 1 KiB,
// interleaved in blocks so that load on the machine falls on both alike.
// Prints medians and 90th percentiles and the ratio against the echo.
//   node bench/bridge/bench.mjs [CALLS]    (TOLMIX_HOST, TOLMIX_SOFTSKF set)
// TOLMIX_BROWSER=firefox measures Firefox ESR; TOLMIX_EXTENSION=<build>/
// browser/tolmix a page without the script tag that the extension serves.
import http from "node:http";

import {BROWSER, Bed, EXTENSION_MODE} from "../../tests/js/bridge/harness.mjs";

const calls = Number(process.argv[2] || 400);
const bed = new Bed({relay: false});
await bed.start();

// The echo: answers the preflight and echoes the JSON body back.
const echo = http.createServer((req, res) => {
  const cors = {"Access-Control-Allow-Origin": req.headers.origin || "*", "Vary": "Origin"};
  if (req.method === "OPTIONS") {
    res.writeHead(204, {...cors, "Access-Control-Allow-Methods": "POST",
                        "Access-Control-Allow-Headers": "Content-Type", "Access-Control-Max-Age": "600"});
    return res.end();
  }
  let body = "";
  req.on("data", (d) => { body += d; });
  req.on("end", () => {
    res.writeHead(200, {...cors, "Content-Type": "application/json"});
    res.end(body);
  });
});
await new Promise((ok) => echo.listen(0, "127.0.0.1", ok));
const echoUrl = `http://127.0.0.1:${echo.address().port}/echo`;

bed.page("bench", `<script>
function echoCall(body) {
  var x = new XMLHttpRequest();
  x.open("POST", "${echoUrl}", false);
  x.setRequestHeader("Content-Type", "application/json");
  x.send(JSON.stringify(body));
  return JSON.parse(x.responseText);
}
function stats(t) {
  t.sort(function (a, b) { return a - b; });
  return {median: t[Math.floor(t.length / 2)], p90: t[Math.floor(t.length * 0.9)], n: t.length};
}
var c = new ActiveXObject("TOLMIX.TOLMIXCtrl.1");
var kb = new Array(1025).join("x");
var kinds = {
  echo: function () { echoCall({id: "1-1", name: "ErrorCode", kind: "get", args: []}); },
  bridgeErrorCode: function () { c.ErrorCode; },
  bridgeDigest1K: function () { c.Digest(kb, 5); }
};
var times = {echo: [], bridgeErrorCode: [], bridgeDigest1K: []};
for (var w = 0; w < 20; w++) { kinds.echo(); kinds.bridgeErrorCode(); kinds.bridgeDigest1K(); }
for (var done = 0; done < ${calls}; done += 20) {
  for (var k in kinds) {
    for (var i = 0; i < 20; i++) {
      var t0 = performance.now(); kinds[k](); times[k].push(performance.now() - t0);
    }
  }
}
window.result = {echo: stats(times.echo), bridgeErrorCode: stats(times.bridgeErrorCode),
                 bridgeDigest1K: stats(times.bridgeDigest1K)};
window.done = true;
</script>`);

const r = await bed.run("a.test", "bench", 300000);
echo.close();
await bed.stop();
const ms = (v) => `${v.toFixed(3)} ms`;
console.log(`${BROWSER}${EXTENSION_MODE ? " (shim from the extension)" : ""} sync XHR from https://a.test, ` +
            `${calls} calls each, interleaved`);
console.log("| call | median | 90th percentile | median / echo |");
console.log("|---|---|---|---|");
for (const k of ["echo", "bridgeErrorCode", "bridgeDigest1K"]) {
  console.log(`| ${k} | ${ms(r[k].median)} | ${ms(r[k].p90)} | ${(r[k].median / r.echo.median).toFixed(2)}x |`);
}
