// The bridge on a machine shared with another local user (as root: the
// other user is made here): the dispatcher under a user that never takes
// its connections and floods the port, requests on sockets closed at once,
// a crashing worker, PINs left in memory, FIFOs and hard links in a site's
// folder, and the folder's limits against envelopes.
// Run by CTest (tests/bridge) as: node --test shared.test.mjs
import assert from "node:assert/strict";
import {execFileSync, spawn} from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import path from "node:path";
import {after, before, test} from "node:test";

import {Bed, TOLMIX, makePeerUser, removePeerUser} from "./harness.mjs";

const A = "https://a.test";
const sleep = (ms) => new Promise((ok) => setTimeout(ok, ms));
const asRoot = process.getuid() === 0;
const needsRoot = !asRoot && "needs root (another local user, /proc/PID/mem)";
const bed = new Bed();
let PEER = null;

before(async () => {
  bed.sandbox();
  fs.writeFileSync(bed.env.TOLMIX_ADMIN_ORIGINS, `[origins]\n${A}=allow\n`);
  // Core files as the kernel writes them by default ("core" in the working
  // folder), with no size limit: whatever a crash may leave, it leaves.
  const bridge = [TOLMIX, "bridge", "--port", "0", "--idle", "60"];
  await bed.startBridge(null, asRoot ? ["prlimit", "--core=unlimited", "--", ...bridge] : bridge);
  if (asRoot) PEER = makePeerUser("tolmixshared");
});
after(async () => {
  await bed.stop();
  removePeerUser(PEER);
});

function rawText(text, port = bed.bridgePort) {
  return new Promise((ok) => {
    let got = "";
    const s = net.connect(port, "127.0.0.1", () => s.end(text));
    s.on("data", (d) => { got += d; });
    s.on("error", () => {});
    s.on("close", () => ok({status: Number(/^HTTP\/1\.1 (\d+)/.exec(got)?.[1] || 0),
                            body: got.slice(got.indexOf("\r\n\r\n") + 4)}));
  });
}
function request(target, body, port = bed.bridgePort) {
  const data = JSON.stringify(body);
  return `POST ${target} HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nOrigin: ${A}\r\nContent-Type: application/json\r\n` +
         `Content-Length: ${Buffer.byteLength(data)}\r\nConnection: close\r\n\r\n${data}`;
}
async function call(target, body, port = bed.bridgePort) {
  const r = await rawText(request(target, body, port), port);
  return {status: r.status, body: r.status === 200 ? JSON.parse(r.body) : r.body};
}
const folder = (env = bed.env) => path.join(env.TOLMIX_FILES_DIR, "https_a.test");
const closedFiles = () => (fs.existsSync(folder()) ? fs.readdirSync(folder()) : []).filter((f) => f.startsWith("closed-"));

// Runs node with SCRIPT as the other user until it exits; what it printed.
function asPeer(script) {
  return new Promise((ok) => {
    const p = spawn("runuser", ["-u", PEER, "--", process.execPath, "-e", script], {cwd: "/"});
    let out = "";
    p.stdout.on("data", (d) => { out += d; });
    p.on("exit", () => ok(out.trim()));
  });
}

// N requests that write "closed-I.txt", each sent on a socket closed as
// soon as the request is out, while process PID (the bridge, the
// dispatcher) is stopped: it accepts them only once the sockets are closed,
// when the kernel reports them as root's.  Resolves to how many were sent.
// ALSO: a process to continue with it (runuser stops itself when its child
// stops).
async function closedRequests(port, n, pid, also = pid) {
  process.kill(pid, "SIGSTOP");
  try {
    return await asPeer(`const net = require("net"); let done = 0;
      for (let i = 0; i < ${n}; i++) {
        const s = net.connect(${port}, "127.0.0.1", () => s.write(${JSON.stringify(request("/put", {name: "closed-NN.txt", data: "eA=="}, port))}
          .replace("NN", String(i)), () => s.destroy()));
        s.on("error", () => {}); s.on("close", () => { if (++done === ${n}) console.log(done); });
      }`);
  } finally {
    process.kill(pid, "SIGCONT");
    process.kill(also, "SIGCONT");
  }
}

test("requests on sockets closed at once are served by nobody's bridge", {skip: needsRoot}, async () => {
  assert.equal(await closedRequests(bed.bridgePort, 300, bed.bridge.pid), "300");
  await sleep(1000);
  assert.deepEqual(closedFiles(), []);
  assert.match(bed.bridgeLog, /a connection whose owner cannot be told closed/);
});

test("the dispatcher: another user's untaken registrations and floods leave the owner's calls answered", {skip: needsRoot}, async () => {
  const uid = (name) => Number(execFileSync("id", ["-u", name]));
  const run = fs.mkdtempSync(path.join(bed.dir, "run-"));
  fs.chmodSync(bed.dir, 0o755);
  fs.chmodSync(run, 0o755);
  fs.chownSync(run, uid("nobody"), 0);
  const sock = path.join(run, "dispatcher.sock");
  const dispatcher = new Bed(), mine = new Bed();
  dispatcher.env = {PATH: process.env.PATH};
  // 256 descriptors: 6 connections in flight per user, 19 users at once.
  await dispatcher.startBridge(null, ["runuser", "-u", "nobody", "--", "prlimit", "--nofile=256:256", "--",
                                      TOLMIX, "dispatcher", "--port", "0", "--socket", sock]);
  const port = dispatcher.bridgePort;
  mine.env = bed.env;
  await mine.startBridge(null, [TOLMIX, "bridge", "--dispatcher", sock]);
  const errorCode = async (id) => (await call("/invoke", {id, name: "ErrorCode", kind: "get"}, port)).body;
  try {
    const {body: {id}} = await call("/create", {progid: "TOLMIX.TOLMIXCtrl.1"}, port);
    assert.deepEqual(await errorCode(id), {value: 0});
    // For 20 s: a "bridge" that registers, never reads, registers again
    // (keeping every socket open), while 400 connections at a time are
    // opened and reopened to the port (some 50,000 in all).
    const attackStart = Date.now();
    const attack = asPeer(`const net = require("net"); const end = Date.now() + 20000; const held = [];
      let registrations = 0, connections = 0;
      (function register() { if (Date.now() > end) return;
        const s = net.connect(${JSON.stringify(sock)}); s.pause(); s.on("error", () => {});
        held.push(s); registrations++; setTimeout(register, 5); })();
      function flood() { if (Date.now() > end) return; connections++;
        const s = net.connect(${port}, "127.0.0.1", () => s.write("POST /create HTTP/1.1\\r\\n"));
        s.resume(); s.on("error", () => {}); s.on("close", () => setTimeout(flood, 10)); }
      for (let i = 0; i < 400; i++) flood();
      setTimeout(() => { console.log(registrations + " " + connections); process.exit(0); }, 20500);`);
    await sleep(2000);
    while (Date.now() < attackStart + 21000) {
      const t = Date.now();
      assert.deepEqual(await errorCode(id), {value: 0}, "during the attack");
      assert.ok(Date.now() - t < 5000, `during the attack: ${Date.now() - t} ms`);
      await sleep(1000);
    }
    const [registrations, connections] = (await attack).split(" ").map(Number);
    assert.ok(registrations > 200 && connections > 10000, `${registrations} registrations, ${connections} connections`);
    const t = Date.now();
    assert.deepEqual(await errorCode(id), {value: 0}, "after the attack");
    assert.ok(Date.now() - t < 1000, `after the attack: ${Date.now() - t} ms`);
    // Its log said each kind of the other user's doings a few times a second at most.
    const peerLines = dispatcher.bridgeLog.split("\n").filter((l) => l.includes(`user ${uid(PEER)} `));
    assert.ok(peerLines.length > 0 && peerLines.length < 150, `${peerLines.length} lines about the other user`);
    // Sockets closed at once never reach the owner's (root's) bridge either.
    const pid = fs.readdirSync("/proc").find((p) => {
      try {
        const cmd = fs.readFileSync(`/proc/${p}/cmdline`, "utf8").split("\0");
        return cmd[0] === TOLMIX && cmd[1] === "dispatcher" && cmd.includes(sock);
      } catch { return false; }
    });
    assert.equal(await closedRequests(port, 300, Number(pid), dispatcher.bridge.pid), "300");
    await sleep(1000);
    assert.deepEqual(closedFiles(), []);
  } finally {
    for (const b of [mine, dispatcher]) await b.stop();
  }
});

// The readable regions of process PID, searched for each of NEEDLES; the
// ones found.
function foundInMemory(pid, needles) {
  const found = new Set();
  const mem = fs.openSync(`/proc/${pid}/mem`, "r");
  try {
    for (const line of fs.readFileSync(`/proc/${pid}/maps`, "utf8").split("\n")) {
      const m = /^([0-9a-f]+)-([0-9a-f]+) r/.exec(line);
      if (!m || /\[(vvar|vsyscall|vvar_vclock)\]/.test(line)) continue;
      const start = parseInt(m[1], 16), end = parseInt(m[2], 16);
      // 1 MiB at a time, each read overlapping the last by 64 bytes.
      for (let at = start; at < end; at += 1 << 20) {
        const buf = Buffer.alloc(Math.min((1 << 20) + 64, end - at));
        let n = 0;
        try { n = fs.readSync(mem, buf, 0, buf.length, at); } catch { break; }
        for (const needle of needles) if (buf.subarray(0, n).includes(needle)) found.add(needle);
      }
    }
  } finally {
    fs.closeSync(mem);
  }
  return [...found];
}

test("no copy of a PIN is left in the broker or the worker after the call", {skip: needsRoot}, async (t) => {
  const marker = `Pin${Date.now().toString(36)}Qz7Mk9Lp`;  // past any string's inline buffer
  const needles = [Buffer.from(marker), Buffer.from(marker, "utf16le")];
  const {body: {id}} = await call("/create", {progid: "TOLMIX.TOLMIXCtrl.1"});
  const invoke = (name, args) => call("/invoke", {id, name, args}).then((r) => r.body);
  assert.deepEqual(await invoke("SetPasswd", ["SKF", marker, 1]), {value: true});
  // The PIN at every place in a frame of every length up to 200 bytes, so
  // that text growing around it is sure to move it.
  for (let pad = 1; pad < 100; pad += 3) await invoke("SetPasswd", ["SKF" + " ".repeat(pad), marker, 0]);
  assert.deepEqual(await invoke("ClearPasswd", []), {value: true});
  assert.deepEqual((await call("/release", {id})).body, {});
  for (let i = 0; i < 20; i++) await call("/create", {progid: "TOLMIX.TOLMIXCtrl.1"});
  await sleep(300);
  const [worker] = bed.workers()[A];
  // A sanitizer's allocator reserves terabytes, too much to read here.
  const huge = fs.readFileSync(`/proc/${bed.bridge.pid}/maps`, "utf8").split("\n").some((l) => {
    const m = /^([0-9a-f]+)-([0-9a-f]+) r/.exec(l);
    return m && parseInt(m[2], 16) - parseInt(m[1], 16) > 2 ** 40;
  });
  if (huge) return t.skip("a sanitizer build: its allocator's reservations are too large to scan");
  assert.deepEqual(foundInMemory(bed.bridge.pid, needles), [], "the broker");
  assert.deepEqual(foundInMemory(worker, needles), [], "the worker");
  // The scan does find what is there: the marker in a process that keeps it.
  const keeper = spawn(process.execPath, ["-e", `const kept = Buffer.from(${JSON.stringify(marker)}); setInterval(() => kept, 1000);`]);
  await sleep(300);
  try {
    assert.ok(foundInMemory(keeper.pid, needles).length > 0);
  } finally {
    keeper.kill("SIGKILL");
  }
});

test("a crashing worker leaves no core file; it runs outside the site's folder", {skip: needsRoot}, async () => {
  await call("/create", {progid: "TOLMIX.TOLMIXCtrl.1"});
  const [worker] = bed.workers()[A];
  assert.match(fs.readFileSync(`/proc/${worker}/limits`, "utf8"), /Max core file size\s+0\s+0/);
  assert.equal(fs.readlinkSync(`/proc/${worker}/cwd`), "/");
  assert.equal(fs.readlinkSync(`/proc/${bed.bridge.pid}/cwd`), "/");
  process.kill(worker, "SIGSEGV");
  await sleep(1000);
  assert.deepEqual(fs.readdirSync(folder()).filter((f) => f.startsWith("core")), []);
  assert.ok(!fs.existsSync("/core"), "a core file in /");
  // The other user's worker: not dumpable, so /proc shows its files as root's.
  if (!asRoot) return;
  const peerDir = fs.mkdtempSync(path.join(bed.dir, "peer-"));
  fs.chmodSync(bed.dir, 0o755);
  fs.chownSync(peerDir, Number(execFileSync("id", ["-u", PEER])), 0);
  const peerEnv = {PATH: process.env.PATH};
  for (const line of execFileSync("runuser", ["-u", PEER, "--", TOLMIX, "sandbox", `${peerDir}/s`]).toString().split("\n")) {
    if (line.includes("=")) peerEnv[line.slice(0, line.indexOf("="))] = line.slice(line.indexOf("=") + 1);
  }
  peerEnv.TOLMIX_ADMIN_ORIGINS = path.join(peerDir, "admin.ini");
  execFileSync("runuser", ["-u", PEER, "--", "sh", "-c", `printf '[origins]\\n${A}=allow\\n' >${peerEnv.TOLMIX_ADMIN_ORIGINS}`]);
  const theirs = new Bed();
  theirs.env = {...peerEnv, TOLMIX_CONSENT: "deny"};
  await theirs.startBridge(null, ["runuser", "-u", PEER, "--", TOLMIX, "bridge", "--port", "0"]);
  try {
    const reply = await asPeer(`const s = require("net").connect(${theirs.bridgePort}, "127.0.0.1", () => s.end(${JSON.stringify(
      request("/create", {progid: "TOLMIX.TOLMIXCtrl.1"}, theirs.bridgePort))})); let t = ""; s.on("data", (d) => { t += d; });
      s.on("close", () => console.log(t));`);
    assert.match(reply, /"id":"/);
    const peerUid = Number(execFileSync("id", ["-u", PEER]));
    const workers = fs.readdirSync("/proc").filter((p) => /^\d+$/.test(p)).filter((p) => {
      try {
        const cmd = fs.readFileSync(`/proc/${p}/cmdline`, "utf8").split("\0");
        const uid = Number(/^Uid:\s+(\d+)/m.exec(fs.readFileSync(`/proc/${p}/status`, "utf8"))[1]);
        return uid === peerUid && cmd[1] === "worker";
      } catch { return false; }
    });
    assert.equal(workers.length, 1);
    assert.equal(fs.statSync(`/proc/${workers[0]}/status`).uid, 0, "the worker is dumpable");
  } finally {
    await theirs.stop();
  }
});

test("/put and /get refuse a FIFO and a hard link at once", async () => {
  const dir = folder();
  await call("/create", {progid: "TOLMIX.TOLMIXCtrl.1"});  // the folder exists
  const outside = path.join(bed.dir, "outside.txt");
  fs.writeFileSync(outside, "keep me");
  execFileSync("mkfifo", [path.join(dir, "pipe")]);
  fs.linkSync(outside, path.join(dir, "hard"));
  const cases = [
    ["/put", {name: "pipe", data: "eA=="}, /exists and is not a file/],
    ["/put", {name: "hard", data: "eA=="}, /has other names/],
    ["/get", {path: "pipe"}, /is not a file/],
    ["/get", {path: "hard"}, /has other names/],
  ];
  for (const [target, body, why] of cases) {
    const t = Date.now();
    const r = await call(target, body);
    assert.match(r.body.error, why, `${target} ${JSON.stringify(body)}`);
    assert.ok(Date.now() - t < 2000, `${target} took ${Date.now() - t} ms`);
  }
  assert.equal(fs.readFileSync(outside, "utf8"), "keep me");
  // A plain file is still written (by a new file renamed over it) and read.
  assert.deepEqual((await call("/put", {name: "plain", data: "eA=="})).body, {path: "plain"});
  assert.deepEqual((await call("/get", {path: "plain"})).body, {data: "eA=="});
});

test("the folder's limits hold for envelopes and for the count of files", async () => {
  const q = new Bed();
  q.env = {...bed.env, TOLMIX_MAX_STORED_BYTES: "100000", TOLMIX_MAX_STORED_FILES: "4"};
  fs.rmSync(folder(), {recursive: true, force: true});
  await q.startBridge();
  try {
    bed.plugSkf(false);
    const port = q.bridgePort;
    const {body: {id}} = await call("/create", {progid: "TOLMIX.TOLMIXCtrl.1"}, port);
    const invoke = (name, args) => call("/invoke", {id, name, args}, port).then((r) => r.body.value);
    assert.equal(await invoke("SetPasswd", ["P11", bed.env.TOLMIX_SANDBOX_P11_PIN, 1]), true);
    const cert = await invoke("GetCertEx", [1]);
    const put = (name, size) => call("/put", {name, data: Buffer.alloc(size, 7).toString("base64")}, port);
    const usage = () => fs.readdirSync(folder()).reduce((n, f) => n + fs.statSync(path.join(folder(), f)).size, 0);
    // 60,000 bytes held: the envelope (over 80,000) would pass 100,000.
    assert.deepEqual((await put("big.bin", 60000)).body, {path: "big.bin"});
    assert.equal(await invoke("EncryptFile", ["big.bin", "big.p7", cert]), false);
    assert.ok(!fs.existsSync(path.join(folder(), "big.p7")));
    assert.ok(usage() <= 100000, `${usage()} bytes`);
    // A small one fits, and the count of files is kept without a walk.
    assert.deepEqual((await put("small.bin", 1000)).body, {path: "small.bin"});
    assert.equal(await invoke("EncryptFile", ["small.bin", "small.p7", cert]), true);
    assert.equal(fs.readdirSync(folder()).length, 3);
    assert.deepEqual((await put("fourth.bin", 10)).body, {path: "fourth.bin"});
    assert.match((await put("fifth.bin", 10)).body.error, /more than 4 files/);
    assert.deepEqual((await put("fourth.bin", 20)).body, {path: "fourth.bin"}, "replacing one adds none");
    assert.match((await put("more.bin", 99000)).body.error, /more than 100000 bytes/);
  } finally {
    await q.stop();
  }
});
