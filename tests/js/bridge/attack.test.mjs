// The bridge under attack, without a browser: hostile bodies and headers
// from an approved origin, a hung worker, quotas, consent spam, a link
// swapped into a write target, and (as root) another local user flooding
// the port, holding the address or registering a bridge of its own.
// Run by CTest (tests/bridge) as: node --test attack.test.mjs
import assert from "node:assert/strict";
import {execFileSync, spawn} from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import path from "node:path";
import {after, before, test} from "node:test";

import {Bed, TOLMIX, makePeerUser, removePeerUser} from "./harness.mjs";

const bed = new Bed();
const A = "https://a.test", B = "https://b.test";
const sleep = (ms) => new Promise((ok) => setTimeout(ok, ms));
const asRoot = process.getuid() === 0;
let PEER = null;

before(async () => {
  bed.sandbox();
  fs.writeFileSync(bed.env.TOLMIX_ADMIN_ORIGINS, `[origins]\n${A}=allow\n${B}=allow\n`);
  await bed.startBridge(["--call-timeout", "2"]);
  if (asRoot) PEER = makePeerUser("tolmixpeer");
});
after(async () => {
  await bed.stop();
  removePeerUser(PEER);
});

// One request as TEXT on a fresh connection to PORT: the status (0 when the
// bridge closed it unanswered) and the body.
function rawText(text, port = bed.bridgePort, address = "127.0.0.1") {
  return new Promise((ok) => {
    let got = "";
    const s = net.connect(port, address, () => s.end(text));
    s.on("data", (d) => { got += d; });
    s.on("error", () => {});
    s.on("close", () => ok({status: Number(/^HTTP\/1\.1 (\d+)/.exec(got)?.[1] || 0),
                            body: got.slice(got.indexOf("\r\n\r\n") + 4)}));
  });
}
function request(target, body, {origin = A, extra = "", port = bed.bridgePort, host = `127.0.0.1:${port}`} = {}) {
  const data = typeof body === "string" ? body : JSON.stringify(body);
  return `POST ${target} HTTP/1.1\r\nHost: ${host}\r\nOrigin: ${origin}\r\nContent-Type: application/json\r\n` +
         `${extra}Content-Length: ${Buffer.byteLength(data)}\r\nConnection: close\r\n\r\n${data}`;
}
async function call(target, body, options = {}) {
  const r = await rawText(request(target, body, options), options.port);
  return {status: r.status, body: r.status === 200 ? JSON.parse(r.body) : r.body};
}
const create = (options) => call("/create", {progid: "TOLMIX.TOLMIXCtrl.1"}, options);
const errorCode = (id, options) => call("/invoke", {id, name: "ErrorCode", kind: "get"}, options);

test("hostile bodies and headers of an approved origin are refused; the next call is answered", async () => {
  const deep = (n) => `{"progid":"TOLMIX.TOLMIXCtrl.1","x":${"[".repeat(n)}${"]".repeat(n)}}`;
  const created = await create();
  const ids = Array.from({length: 1001}, () => created.body.id);
  const cases = [
    ["10^5 levels", request("/create", deep(1e5)), 400],
    ["10^6 levels", request("/create", deep(1e6)), 400],
    ["an array argument", request("/invoke", {id: created.body.id, name: "Sign", args: [["x"]]}), 400],
    ["an object as the name", request("/invoke", {id: created.body.id, name: {}, args: []}), 400],
    ["1,001 ids in a release", request("/release", {ids}), 400],
    ["two Host", request("/create", "{}", {extra: `Host: 127.0.0.1:${bed.bridgePort}\r\n`}), 403],
    ["two Origin", request("/create", "{}", {extra: "Origin: https://c.test\r\n"}), 403],
    ["two Content-Length", request("/create", "{}", {extra: "Content-Length: 2\r\n"}), 403],
    ["Transfer-Encoding and a length", request("/create", "{}", {extra: "Transfer-Encoding: xchunked\r\n"}), 403],
    ["Host [::1] where ::1 is served", request("/create", {progid: "TOLMIX.TOLMIXCtrl.1"},
                                              {host: `[::1]:${bed.bridgePort}`}), 200],
  ];
  for (const [what, text, status] of cases) {
    assert.equal((await rawText(text)).status, status, what);
    assert.deepEqual((await errorCode(created.body.id)).body, {value: 0}, `after ${what}`);
  }
});

test("a stopped worker holds only its origin; its call fails within the limit, the next works", async () => {
  const a = await create(), b = await create({origin: B});
  const [pid] = bed.workers()[A];
  process.kill(pid, "SIGSTOP");
  const start = Date.now();
  const stuck = errorCode(a.body.id);
  await sleep(300);
  const before = Date.now();
  assert.deepEqual((await errorCode(b.body.id, {origin: B})).body, {value: 0});
  assert.ok(Date.now() - before < 100, `origin B waited ${Date.now() - before} ms`);
  const late = (await stuck).body;
  assert.match(late.error, /took longer than 2 s; the control's process was ended/);
  assert.equal(late.hresult, -2147023436, "a timed-out call has its own number (ERROR_TIMEOUT)");
  assert.ok(Date.now() - start < 2000 + 5000);
  assert.deepEqual((await errorCode((await create()).body.id)).body, {value: 0});
});

test("quotas: objects and stored bytes per origin", async () => {
  const q = new Bed();
  q.env = {...bed.env, TOLMIX_MAX_OBJECTS: "3", TOLMIX_MAX_STORED_BYTES: "1000"};
  await q.startBridge();
  try {
    const o = {origin: B, port: q.bridgePort};
    const made = [];
    for (let i = 0; i < 4; i++) made.push((await create(o)).body);
    assert.ok(made.slice(0, 3).every((m) => typeof m.id === "string"));
    assert.match(made[3].error, /holds 3 objects already; release some first/);
    const data = Buffer.alloc(600).toString("base64");
    assert.deepEqual((await call("/put", {name: "one.bin", data}, o)).body, {path: "one.bin"});
    assert.match((await call("/put", {name: "two.bin", data}, o)).body.error, /more than 1000 bytes/);
  } finally {
    await q.stop();
  }
});

test("1,000 consent-triggering requests from 300 sub-domains of 5 sites raise at most 3 questions", async () => {
  const origins = Array.from({length: 300}, (_, i) => `https://s${i}.x${i % 5}.spam`);
  for (let i = 0; i < 1000; i += 50) {
    const batch = Array.from({length: 50}, (_, j) => create({origin: origins[(i + j) % 300]}));
    for (const r of await Promise.all(batch)) assert.equal(r.status, 403);
  }
  const asked = bed.bridgeLog.match(/\.spam denied by unattended/g) || [];
  assert.ok(asked.length >= 1 && asked.length <= 3, `${asked.length} questions`);
});

test("a link swapped into a write target is never followed (1,000 tries)", async () => {
  bed.plugSkf(false);
  const dir = path.join(bed.env.TOLMIX_FILES_DIR, "https_a.test");
  const victim = path.join(bed.dir, "victim.txt");
  fs.writeFileSync(victim, "keep me");
  fs.writeFileSync(path.join(dir, "src.txt"), "secret text");
  const {body: {id}} = await create();
  const invoke = (name, args) => call("/invoke", {id, name, args}).then((r) => r.body.value);
  assert.equal(await invoke("SetPasswd", ["P11", bed.env.TOLMIX_SANDBOX_P11_PIN, 1]), true);
  const cert = await invoke("GetCertEx", [1]);
  const swap = `const fs = require("fs"); for (;;) { try { fs.symlinkSync(${JSON.stringify(victim)}, "l");
    fs.renameSync("l", "out.p7"); } catch {} try { fs.unlinkSync("out.p7"); } catch {} }`;
  const swapper = spawn(process.execPath, ["-e", swap], {cwd: dir, stdio: "ignore"});
  try {
    for (let i = 0; i < 1000; i++) await invoke("EncryptFile", ["src.txt", "out.p7", cert]);
  } finally {
    swapper.kill("SIGKILL");
  }
  assert.equal(fs.readFileSync(victim, "utf8"), "keep me");
  assert.deepEqual(fs.readdirSync(dir).filter((f) => f.startsWith(".tolmix-")), []);
});

// Runs node with SCRIPT as the other user; resolves to what it printed.
function asPeer(script, env = {}) {
  return new Promise((ok) => {
    const p = spawn("runuser", ["-u", PEER, "--", process.execPath, "-e", script],
                    {cwd: "/", env: {...process.env, ...env}});
    let out = "";
    p.stdout.on("data", (d) => { out += d; });
    p.on("exit", () => ok(out.trim()));
  });
}

test("another user's 1,500 connections, reopened as they close, hold nothing of the owner's", {skip: !asRoot && "needs root"}, async () => {
  const {body: {id}} = await create();
  const flood = asPeer(`const net = require("net"); let open = 0, refused = 0; const end = Date.now() + 60000;
    function one() { if (Date.now() > end) return; open++;
      const s = net.connect(${bed.bridgePort}, "127.0.0.1", () => s.write("POST /create HTTP/1.1\\r\\n"));
      s.on("error", () => {}); s.on("close", () => { open--; refused++; setTimeout(one, 100); }); }
    for (let i = 0; i < 1500; i++) one();
    setTimeout(() => { console.log(refused); process.exit(0); }, 60500);`);
  await sleep(2000);
  for (let i = 0; i < 6; i++) {  // through the minute of the flood
    const t = Date.now();
    assert.deepEqual((await errorCode(id)).body, {value: 0});
    assert.ok(Date.now() - t < 5000, `during the flood: ${Date.now() - t} ms`);
    await sleep(9000);
  }
  assert.ok(Number(await flood) >= 1500, "the other user's connections were closed");
  const t = Date.now();
  assert.deepEqual((await errorCode(id)).body, {value: 0});
  assert.ok(Date.now() - t < 1000, `after the flood: ${Date.now() - t} ms`);
});

test("with the dispatcher, two users each reach their own bridge and nobody else holds the address", {skip: !asRoot && "needs root"}, async () => {
  const uid = (name) => Number(execFileSync("id", ["-u", name]));
  const run = fs.mkdtempSync(path.join(bed.dir, "run-")), peerDir = fs.mkdtempSync(path.join(bed.dir, "peer-"));
  fs.chmodSync(bed.dir, 0o755);
  fs.chmodSync(run, 0o755);
  fs.chownSync(run, uid("nobody"), 0);
  fs.chownSync(peerDir, uid(PEER), 0);
  const sock = path.join(run, "dispatcher.sock");
  const dispatcher = new Bed(), mine = new Bed(), theirs = new Bed();
  dispatcher.env = {PATH: process.env.PATH};
  await dispatcher.startBridge(null, ["runuser", "-u", "nobody", "--", TOLMIX, "dispatcher", "--port", "0",
                                      "--socket", sock]);
  const port = dispatcher.bridgePort;
  const peerEnv = {};
  for (const line of execFileSync("runuser", ["-u", PEER, "--", TOLMIX, "sandbox", `${peerDir}/s`]).toString().split("\n")) {
    if (line.includes("=")) peerEnv[line.slice(0, line.indexOf("="))] = line.slice(line.indexOf("=") + 1);
  }
  peerEnv.TOLMIX_ADMIN_ORIGINS = path.join(peerDir, "admin.ini");
  execFileSync("runuser", ["-u", PEER, "--", "sh", "-c", `printf '[origins]\\n${A}=allow\\n' >${peerEnv.TOLMIX_ADMIN_ORIGINS}`]);
  const peerPost = (body) => asPeer(`const s = require("net").connect(${port}, "127.0.0.1", () => s.end(${JSON.stringify(
    request("/put", body, {port}))})); let t = ""; s.on("data", (d) => { t += d; }); s.on("close", () => console.log(t));`);
  // No bridge of that user yet: a clear refusal.
  assert.match(await peerPost({name: "x", data: ""}), /^HTTP\/1\.1 503[^]*no tolmix bridge is running for this user/);
  mine.env = bed.env;
  theirs.env = {...process.env, ...peerEnv, TOLMIX_CONSENT: "deny"};
  await mine.startBridge(null, [TOLMIX, "bridge", "--dispatcher", sock]);
  await theirs.startBridge(null, ["runuser", "-u", PEER, "--", TOLMIX, "bridge", "--dispatcher", sock]);
  try {
    assert.equal(mine.bridgePort, port);
    const data = Buffer.from("whose?").toString("base64");
    assert.deepEqual((await call("/put", {name: "owner.txt", data}, {port})).body, {path: "owner.txt"});
    assert.match(await peerPost({name: "peer.txt", data}), /"path":"peer.txt"/);
    const files = (env) => fs.readdirSync(path.join(env.TOLMIX_FILES_DIR, "https_a.test"));
    assert.ok(files(bed.env).includes("owner.txt") && !files(bed.env).includes("peer.txt"));
    assert.ok(files(peerEnv).includes("peer.txt") && !files(peerEnv).includes("owner.txt"));
    // The address is held: the other user cannot listen there, on either loopback.
    const bind = (address) => `require("net").createServer().on("error", (e) => console.log(e.code))
      .listen(${port}, "${address}", () => console.log("bound"))`;
    assert.equal(await asPeer(bind("127.0.0.1")), "EADDRINUSE");
    assert.match(await asPeer(bind("::1")), /EADDRINUSE|EADDRNOTAVAIL/);
  } finally {
    for (const b of [theirs, mine, dispatcher]) await b.stop();
  }
});
