// Test bed for the browser bridge: a fresh `tolmix sandbox`, the bridge on
// a free port, pages served over https from test origins (a self-signed
// certificate; a.test, b.test, c.test resolved to loopback by Chromium's
// --host-resolver-rules) and Debian's Chromium driven by puppeteer-core.
import {execFileSync, spawn} from "node:child_process";
import fs from "node:fs";
import https from "node:https";
import http from "node:http";
import os from "node:os";
import path from "node:path";

export const TOLMIX = process.env.TOLMIX_HOST;
export const SOFTSKF = process.env.TOLMIX_SOFTSKF;
const CHROMIUM = process.env.TOLMIX_CHROMIUM || "/usr/bin/chromium";

export class Bed {
  async start() {
    this.sandbox();
    await this.startPageServer();
    for (const host of ["a.test", "b.test"]) this.tolmix("origins", "allow", this.origin(host));
    await this.startBridge();
    await this.startBrowser();
  }

  // A fresh sandbox and its environment, no bridge or browser yet.
  sandbox() {
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), "tolmix-bridge-"));
    this.env = {...process.env};
    delete this.env.DISPLAY;
    delete this.env.WAYLAND_DISPLAY;
    const out = execFileSync(TOLMIX, ["sandbox", path.join(this.dir, "s")], {env: this.env}).toString();
    for (const line of out.split("\n")) {
      const eq = line.indexOf("=");
      if (eq > 0) this.env[line.slice(0, eq)] = line.slice(eq + 1);
    }
    this.env.TOLMIX_ADMIN_ORIGINS = path.join(this.dir, "admin.ini");
    this.env.TOLMIX_CONSENT = "deny";  // nobody at the screen: unknown origins are refused
    this.pages = new Map();
  }

  tolmix(...args) {
    return execFileSync(TOLMIX, args, {env: this.env}).toString();
  }

  origin(host) { return `https://${host}:${this.pagePort}`; }
  url(host, name) { return `${this.origin(host)}/${name}`; }
  filesOf(host) { return path.join(this.env.TOLMIX_FILES_DIR, `https_${host}_${this.pagePort}`); }

  async startPageServer() {
    const key = path.join(this.dir, "key.pem"), cert = path.join(this.dir, "cert.pem");
    execFileSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                             "-out", cert, "-days", "2", "-subj", "/CN=a.test", "-addext",
                             "subjectAltName=DNS:a.test,DNS:b.test,DNS:c.test,DNS:d.test"],
                 {stdio: "ignore"});
    this.server = https.createServer({key: fs.readFileSync(key), cert: fs.readFileSync(cert)},
                                     (req, res) => {
      const html = this.pages.get(req.url.slice(1).split("?")[0]);
      res.writeHead(html ? 200 : 404, {"Content-Type": "text/html; charset=utf-8"});
      res.end(html || "no such page");
    });
    await new Promise((ok) => this.server.listen(0, "127.0.0.1", ok));
    this.pagePort = this.server.address().port;
  }

  // EXTRA: arguments after "bridge --port 0"; ARGV: the whole command line
  // instead (another user's bridge, the dispatcher).
  async startBridge(extra = ["--idle", "60"], argv = [TOLMIX, "bridge", "--port", "0", ...extra]) {
    this.bridge = spawn(argv[0], argv.slice(1), {env: this.env, stdio: ["ignore", "pipe", "pipe"]});
    this.bridgeLog = "";
    this.bridge.stderr.on("data", (d) => { this.bridgeLog += d; });
    this.bridgePort = await new Promise((ok, fail) => {
      let out = "";
      this.bridge.stdout.on("data", (d) => {
        out += d;
        const m = /127\.0\.0\.1:(\d+)/.exec(out);
        if (m) ok(Number(m[1]));
      });
      this.bridge.on("exit", (code) => fail(new Error(`bridge exited ${code}: ${this.bridgeLog}`)));
    });
    this.bridgeBase = `http://127.0.0.1:${this.bridgePort}`;
  }

  async startBrowser() {
    // Loaded here: the tests without a browser need no npm package.
    const {default: puppeteer} = await import("puppeteer-core");
    this.browser = await puppeteer.launch({
      executablePath: CHROMIUM,
      headless: true,
      args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--ignore-certificate-errors",
             "--host-resolver-rules=MAP a.test 127.0.0.1, MAP b.test 127.0.0.1, MAP c.test 127.0.0.1," +
             " MAP d.test 127.0.0.1",
             // The test sites count as public sites, as real ones are, so
             // the browser's Local Network Access gate applies to them.
             `--ip-address-space-overrides=127.0.0.1:${this.pagePort}=public`],
    });
    // Chromium's own gate for public pages reaching loopback, granted as a
    // user or an administrator's policy would; d.test is left without it.
    const cdp = await this.browser.target().createCDPSession();
    for (const host of ["a.test", "b.test", "c.test"]) {
      await cdp.send("Browser.grantPermissions",
                     {origin: this.origin(host), permissions: ["loopbackNetwork"]});
    }
  }

  // A page HTML with the shim's script tag and BODY.
  page(name, body) {
    this.pages.set(name, `<!DOCTYPE html><html><head><meta charset="utf-8">
<script src="${this.bridgeBase}/tolmix.js"></script></head><body>${body}</body></html>`);
  }

  // Opens NAME on HOST and waits for window.done; returns window.result.
  async run(host, name, timeout = 30000) {
    const tab = await this.browser.newPage();
    try {
      const errors = [];
      tab.on("pageerror", (e) => errors.push(e.message));
      await tab.goto(this.url(host, name));
      await tab.waitForFunction("window.done === true", {timeout});
      const result = await tab.evaluate("window.result");
      if (errors.length) result.pageErrors = errors;
      return result;
    } finally {
      await tab.close();
    }
  }

  // Process IDs of the bridge's workers, by origin.
  workers() {
    if (!this.bridge) return {};
    const found = {};
    for (const pid of fs.readdirSync("/proc")) {
      if (!/^\d+$/.test(pid)) continue;
      let stat, cmd;
      try {
        stat = fs.readFileSync(`/proc/${pid}/stat`, "utf8");
        cmd = fs.readFileSync(`/proc/${pid}/cmdline`, "utf8").split("\0");
      } catch { continue; }
      const ppid = Number(stat.slice(stat.lastIndexOf(")") + 2).split(" ")[1]);
      if (ppid === this.bridge.pid && cmd[1] === "worker") (found[cmd[3]] ||= []).push(Number(pid));
    }
    return found;
  }

  // Plugs the soft SKF key in or pulls it out, as a user would: every key
  // load probes the SKF key first, so the "P11" cases run with it pulled.
  plugSkf(present) {
    const conf = path.join(this.env.TOLMIX_SKF_TOKEN_DIR, "TolmixSoftKey", "device.conf");
    const kept = fs.readFileSync(conf, "utf8").split("\n").filter((l) => l && !l.startsWith("present"));
    fs.writeFileSync(conf, [...kept, `present = ${present ? 1 : 0}`, ""].join("\n"));
  }

  skfUserTries() {
    const out = execFileSync(SOFTSKF, ["list"], {env: this.env}).toString();
    return /user PIN (\d+)\/\d+ tries/.exec(out)[1];
  }

  // A raw HTTP request to the bridge (as a hostile client would send it).
  raw(method, target, headers, body, port = this.bridgePort, address = "127.0.0.1") {
    return new Promise((ok, fail) => {
      const req = http.request({host: address, port, method, path: target,
                                headers, setHost: false}, (res) => {
        let text = "";
        res.on("data", (d) => { text += d; });
        res.on("end", () => ok({status: res.statusCode, headers: res.headers, body: text}));
      });
      req.on("error", fail);
      req.end(body);
    });
  }

  async stop() {
    if (this.browser) await this.browser.close();
    if (this.server) this.server.close();
    if (this.bridge && this.bridge.exitCode === null) {
      const exited = new Promise((ok) => this.bridge.on("exit", (code, sig) => ok({code, sig})));
      this.bridge.kill("SIGTERM");
      this.bridgeExit = await exited;
    }
    // TOLMIX_BRIDGE_LOG=FILE keeps what the bridge and its workers said
    // (sanitizer reports included).
    if (process.env.TOLMIX_BRIDGE_LOG) fs.appendFileSync(process.env.TOLMIX_BRIDGE_LOG, this.bridgeLog);
    if (this.dir && !process.env.TOLMIX_KEEP) fs.rmSync(this.dir, {recursive: true, force: true});
  }
}
