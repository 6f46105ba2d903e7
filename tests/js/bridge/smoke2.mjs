import {Bed} from "./harness.mjs";
const bed = new Bed();
await bed.start();
bed.page("p", `<script>
var c = new ActiveXObject("TOLMIX.TOLMIXCtrl.1"); var d = new ActiveXObject("TOLMIX.TOLMIXCtrl.1");
window.result = {ok: c.ErrorCode}; window.done = true;
</script>`);
bed.page("q", `<script>window.result = {}; window.done = true;</script>`);
const tab = await bed.browser.newPage();
await tab.goto(bed.url("a.test", "p"));
await tab.waitForFunction("window.done === true");
await tab.goto(bed.url("a.test", "q"));
await new Promise(r => setTimeout(r, 500));
console.log((await bed.raw("POST", "/invoke", {"Host": `127.0.0.1:${bed.bridgePort}`, "Origin": bed.origin("a.test"), "Content-Type": "application/json"}, JSON.stringify({id: "1-1", name: "ErrorCode", kind: "get"}))).body);
await bed.stop();
console.log(bed.bridgeLog);
