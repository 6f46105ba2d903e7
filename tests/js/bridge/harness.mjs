// Test bed for the browser bridge: a fresh `tolmix sandbox`, the bridge on
// a free port, pages served over https from test origins (a self-signed
// certificate; a.test ... e.test resolved to loopback) and Debian's Chromium
// (CDP) or Firefox ESR (WebDriver BiDi) driven by puppeteer-core.
// TOLMIX_BROWSER: chromium (default) or firefox.  TOLMIX_EXTENSION: the built
// extension (<build>/browser/tolmix); pages then carry no script tag, and its
// calls go to the bridge through a relay that counts them.
import {execFileSync, spawn, spawnSync} from "node:child_process";
import fs from "node:fs";
import https from "node:https";
import http from "node:http";
import os from "node:os";
import path from "node:path";

// Test-only tools from the npm registry (scripts/install-deps.sh); without
// them, or without the browser, a browser run is skipped (CTest: status 77).
// Loaded when a browser starts: the tests without one need no npm package.
function skip(why) { console.log(`SKIP: ${why}`); process.exit(77); }
const loadPuppeteer = () => import("puppeteer-core").then((m) => m.default,
    () => skip("puppeteer-core is not installed in tests/js (the npm registry was not reachable?)"));

export const TOLMIX = process.env.TOLMIX_HOST;
export const SOFTSKF = process.env.TOLMIX_SOFTSKF;
const CHROMIUM = process.env.TOLMIX_CHROMIUM || "/usr/bin/chromium";
const FIREFOX = process.env.TOLMIX_FIREFOX || "/usr/bin/firefox-esr";
export const BROWSER = process.env.TOLMIX_BROWSER || "chromium";
const EXTENSION = process.env.TOLMIX_EXTENSION || "";
// The extension's Firefox ID and the address of its pages there.
const GECKO_ID = "tolmix@tolmix.invalid", GECKO_UUID = "5b1e6f0a-2c47-4d8e-9a13-7f6c2d9e0b41";
const CHROMIUM_ID = "mejijaagdllgnfonofbneiajbedacebl";
export const EXTENSION_MODE = !!EXTENSION;
// What Chromium's Local Network Access gate says when it refuses a request.
// Starved of CPU it now and then refuses one of a site that its policy or a
// granted permission lets through; such a load is made again, and counted.
const GATE_REFUSAL = /Permission was denied for this request to access the `loopback` address space/;

// Another local user for this run alone (root only): the suites run side by
// side, and a shared name would be removed by one while another uses it.
// useradd is retried while another run holds the passwd lock.
export function makePeerUser(prefix) {
  const name = `${prefix}${process.pid}`;
  for (let i = 0; i < 10; i++) {
    if (spawnSync("useradd", ["--system", "--no-create-home", name]).status === 0) return name;
    spawnSync("sleep", ["0.3"]);
  }
  throw new Error(`useradd ${name} failed ten times`);
}
export const removePeerUser = (name) => name && spawnSync("userdel", [name]);

// a, b: approved by the bridge; c: never; d: without Chromium's loopback
// permission; e: not enabled in the extension; s1-s5: the soak's.
export const HOSTS = ["a.test", "b.test", "c.test", "d.test", "e.test", "s1.test", "s2.test", "s3.test",
                      "s4.test", "s5.test"];
export const SOAK_HOSTS = HOSTS.filter((h) => h.startsWith("s"));

export class Bed {
  // RELAY false: the extension's calls go to the bridge directly, uncounted
  // (for measurements).
  constructor({relay = true} = {}) { this.useRelay = relay; this.gateRefusals = []; }

  async start() {
    this.sandbox();
    this.extension = !!EXTENSION;
    await this.startPageServer();
    for (const host of ["a.test", "b.test"]) this.tolmix("origins", "allow", this.origin(host));
    await this.startBridge();
    if (this.extension && this.useRelay) await this.startRelay();
    await this.startBrowser();
    if (this.extension) {
      // Firefox: installed as its test driver allows; Chromium loaded it at start.
      if (BROWSER === "firefox") await this.browser.installExtension(this.extensionCopy());
      this.extensionBase = BROWSER === "firefox" ? `moz-extension://${GECKO_UUID}` : `chrome-extension://${CHROMIUM_ID}`;
      // Chromium: as a user on the toolbar page.  Firefox: as an
      // administrator (a managed-storage manifest, below).
      for (const host of ["a.test", "b.test", "c.test"]) {
        if (BROWSER === "firefox") await this.waitForShim(host, true); else await this.enableSite(host);
      }
    }
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

  // Every browser request to the bridge passes here and is counted (origin
  // and path), then goes on unchanged but for its Host.
  async startRelay() {
    this.requests = [];
    this.relay = http.createServer((req, res) => {
      this.requests.push({method: req.method, origin: req.headers.origin || "", path: req.url});
      const up = http.request({host: "127.0.0.1", port: this.bridgePort, method: req.method, path: req.url,
                               headers: {...req.headers, host: `127.0.0.1:${this.bridgePort}`}}, (r) => {
        res.writeHead(r.statusCode, r.headers);
        r.pipe(res);
      });
      up.on("error", () => { res.writeHead(502); res.end(); });
      req.pipe(up);
    });
    await new Promise((ok) => this.relay.listen(0, "127.0.0.1", ok));
    this.relayBase = `http://127.0.0.1:${this.relay.address().port}`;
  }

  // A copy of the built extension whose bridge address (the package's
  // 127.0.0.1:26410, in tolmix.js and bridge.js) is the relay's.
  extensionCopy() {
    const copy = path.join(this.dir, "extension");
    fs.cpSync(EXTENSION, copy, {recursive: true});
    for (const f of ["tolmix.js", "bridge.js"].map((name) => path.join(copy, name))) {
      fs.writeFileSync(f, fs.readFileSync(f, "utf8").replaceAll("http://127.0.0.1:26410", this.relayBase ?? this.bridgeBase));
    }
    return copy;
  }

  // A tab with the extension's page URL.  Firefox's test driver may not
  // navigate to a moz-extension: page: its browser window opens it, with
  // the system principal (the browser runs with --remote-allow-system-access).
  async extensionTab(url) {
    if (BROWSER !== "firefox") {
      const tab = await this.browser.newPage();
      await tab.goto(url);
      return tab;
    }
    const bidi = this.browser.connection;
    const {result: {contexts}} = await bidi.send("browsingContext.getTree", {"moz:scope": "chrome"});
    const before = new Set(await this.browser.pages());
    const {result} = await bidi.send("script.evaluate", {
      target: {context: contexts[0].context}, awaitPromise: false,
      expression: `gBrowser.selectedTab = gBrowser.addTab(${JSON.stringify(url)},
        {triggeringPrincipal: Services.scriptSecurityManager.getSystemPrincipal()}); "opened"`});
    if (result.type !== "success") throw new Error(`the browser window did not open ${url}: ${JSON.stringify(result)}`);
    // The driver reports the new tab but not its extension page's address:
    // the tab is the new one that is there.
    for (let i = 0; i < 200; i++) {
      for (const tab of await this.browser.pages()) {
        if (before.has(tab)) continue;
        const at = await tab.evaluate(() => document.readyState === "complete" && location.href).catch(() => "");
        if (at === url) return tab;
      }
      await new Promise((ok) => setTimeout(ok, 50));
    }
    throw new Error(`${url} did not open`);
  }

  // The toolbar page for HOST's site, as popup.html?url=... in a tab: its
  // two answers, after ACT(tab) where given.
  async toolbar(host, act) {
    const tab = await this.extensionTab(`${this.extensionBase}/popup.html?url=${encodeURIComponent(this.url(host, ""))}`);
    try {
      await tab.waitForFunction(() => document.getElementById("bridge").textContent !== "");
      if (act) await act(tab);
      return await tab.$$eval("#extension, #bridge", (ps) => ps.map((p) => p.textContent));
    } finally {
      await tab.close();
    }
  }

  // Ticks "Use the certificate control on this site" for HOST as a user (the
  // browser's own permission asked), waits for its pages to get the shim (or,
  // ON false, to lose it); returns the toolbar page's two answers.
  async enableSite(host, on = true) {
    const said = await this.toolbar(host, async (tab) => {
      await tab.click("#use");
      await tab.waitForFunction((w) => document.getElementById("extension").textContent.endsWith(w), {},
                                on ? "enabled by you" : "not enabled");
    });
    await this.waitForShim(host, on);
    return said;
  }

  async waitForShim(host, on) {
    this.rawPage("probe", "<!DOCTYPE html><script>window.result = typeof ActiveXObject; window.done = true;</script>");
    for (let i = 0; i < 100; i++) {
      if ((await this.run(host, "probe")) === (on ? "function" : "undefined")) return;
      await new Promise((ok) => setTimeout(ok, 50));
    }
    throw new Error(`${host}: the shim did not ${on ? "arrive" : "go"}`);
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
                             "subjectAltName=" + HOSTS.map((h) => "DNS:" + h).join(",")],
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
    if (!fs.existsSync(BROWSER === "firefox" ? FIREFOX : CHROMIUM)) skip(`${BROWSER} is not installed`);
    const puppeteer = await loadPuppeteer();
    if (BROWSER === "firefox") {
      // The administrator's sites as Firefox reads them without a policy
      // file: a managed-storage manifest in the home folder.
      const managed = path.join(this.dir, "home", ".mozilla", "managed-storage");
      fs.mkdirSync(managed, {recursive: true});
      fs.writeFileSync(path.join(managed, `${GECKO_ID}.json`), JSON.stringify({
        name: GECKO_ID, description: "test sites", type: "storage",
        data: {origins: ["a.test", "b.test", "c.test", ...SOAK_HOSTS].map((h) => `https://${h}`)}}));
      // Every name resolves to loopback, and the page server's address
      // counts as public, as real sites are: Firefox's Local Network Access
      // gate applies (blocking on), and the administrator's policy for it
      // (docs/admin.md) lets every test site but d.test through.  Written
      // as root where no policy file exists, and removed at stop; else the
      // sites stay loopback sites, which the gate leaves alone.
      const lna = process.getuid() === 0 && !fs.existsSync("/etc/firefox/policies");
      if (lna) {
        fs.mkdirSync((this.firefoxPolicies = "/etc/firefox/policies"), {recursive: true});
        fs.writeFileSync(this.firefoxPolicies + "/policies.json", JSON.stringify({policies: {
          LocalNetworkAccess: {Enabled: true, EnablePrompting: true,
                               SkipDomains: HOSTS.filter((h) => h !== "d.test")},
          "3rdparty": {Extensions: {[GECKO_ID]: {origins: ["a.test", "b.test", "c.test", ...SOAK_HOSTS]
                                                   .map((h) => `https://${h}`)}}}}}));
      }
      this.browser = await puppeteer.launch({
        browser: "firefox", executablePath: FIREFOX, headless: true, acceptInsecureCerts: true,
        env: {...process.env, HOME: path.join(this.dir, "home")},
        // The toolbar page's tests open it from the browser window.
        args: ["--remote-allow-system-access"],
        extraPrefsFirefox: {"network.dns.forceResolve": "127.0.0.1",
                            ...(lna ? {"network.lna.blocking": true,
                                       "network.lna.address_space.public.override": `127.0.0.1:${this.pagePort}`} : {}),
                            "extensions.webextensions.uuids": JSON.stringify({[GECKO_ID]: GECKO_UUID})},
      });
      return;
    }
    // The administrator's policy (as root, where no policy folder exists;
    // gone at stop): Local Network Access allowed for every test site but
    // d.test, as docs/admin.md has it, and the soak's sites enabled in the
    // extension.  Else the permission is granted as a user would, below, and
    // the soak's sites are enabled on the toolbar page.
    const lnaSites = HOSTS.filter((h) => h !== "d.test").map((h) => this.origin(h));
    if (process.getuid() === 0 && !fs.existsSync("/etc/chromium/policies")) {
      fs.mkdirSync((this.policies = "/etc/chromium/policies") + "/managed", {recursive: true});
      fs.writeFileSync(this.policies + "/managed/tolmix-test.json", JSON.stringify({
        LocalNetworkAccessAllowedForUrls: lnaSites,
        ...(this.extension ? {"3rdparty": {extensions: {[CHROMIUM_ID]: {origins: SOAK_HOSTS.map((h) => `https://${h}`)}}}}
                           : {})}));
    }
    this.browser = await puppeteer.launch({
      executablePath: CHROMIUM,
      headless: true,
      enableExtensions: this.extension,
      args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--ignore-certificate-errors",
             "--host-resolver-rules=" + HOSTS.map((h) => `MAP ${h} 127.0.0.1`).join(", "),
             // The test sites count as public sites, as real ones are, so
             // the browser's Local Network Access gate applies to them.
             `--ip-address-space-overrides=127.0.0.1:${this.pagePort}=public`,
             // The way the package has Chromium load it.
             ...(this.extension ? [`--load-extension=${this.extensionCopy()}`] : [])],
    });
    // Chromium's own gate for public pages reaching loopback, granted as a
    // user would where no policy does it; d.test is left without it.
    if (this.policies) return;
    const cdp = await this.browser.target().createCDPSession();
    for (const origin of lnaSites) {
      await cdp.send("Browser.grantPermissions", {origin, permissions: ["loopbackNetwork"]});
    }
  }

  // A page HTML with BODY, and the shim's script tag unless the extension
  // brings the shim.
  page(name, body) {
    const tag = this.extension ? "" : `<script src="${this.bridgeBase}/tolmix.js"></script>`;
    this.rawPage(name, `<!DOCTYPE html><html><head><meta charset="utf-8">${tag}</head><body>${body}</body></html>`);
  }

  rawPage(name, html) { this.pages.set(name, html); }

  // Opens NAME on HOST and waits for window.done; returns window.result.
  // LOADED: the navigation's end to wait for ("domcontentloaded" where a
  // request held by the browser would hold the load event).  A page that
  // never finishes fails with what the page, the browser and the bridge
  // said; one that Chromium's gate refused on a site its policy or grant
  // lets through is opened again, at most twice (GATE_REFUSAL).
  async run(host, name, timeout = 30000, loaded = "load") {
    for (let again = 0; ; again++) {
      const tab = await this.browser.newPage();
      const heard = this.watch(tab);
      this.console = heard.console;
      try {
        await tab.goto(this.url(host, name), {waitUntil: loaded});
        await tab.waitForFunction("window.done === true", {timeout});
        const result = await tab.evaluate("window.result");
        if (heard.errors.length) result.pageErrors = heard.errors;
        return result;
      } catch (e) {
        if (again < 2 && host !== "d.test" && heard.refusedByGate()) {
          this.gateRefusals.push(`${host}/${name}`);
          continue;
        }
        e.message += `\n${host}/${name}: page errors ${JSON.stringify(heard.errors)}; the browser said ` +
                     `${JSON.stringify(heard.said)}; the bridge's last lines:\n` +
                     (this.bridgeLog || "").split("\n").slice(-15).join("\n");
        throw e;
      } finally {
        await tab.close();
      }
    }
  }

  // What TAB's page and the browser say from now on: the page's uncaught
  // errors, its console, and the console with the failed requests (SAID);
  // clear() starts again for the next load on the same tab.
  watch(tab) {
    const heard = {errors: [], console: [], said: [],
                   clear() { this.errors.length = this.console.length = this.said.length = 0; },
                   refusedByGate() { return this.said.some((m) => GATE_REFUSAL.test(m)); }};
    tab.on("pageerror", (e) => heard.errors.push(e.message));
    tab.on("console", (m) => { heard.console.push(m.text()); heard.said.push(m.text()); });
    tab.on("requestfailed", (r) => heard.said.push(`${r.method()} ${r.url()}: ${r.failure()?.errorText}`));
    return heard;
  }

  // Resident memory of process PID, in KiB.
  rss(pid) {
    return Number(/VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, "utf8"))[1]);
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
    if (this.relay) this.relay.close();
    if (this.policies) fs.rmSync(this.policies, {recursive: true, force: true});
    if (this.firefoxPolicies) fs.rmSync(this.firefoxPolicies, {recursive: true, force: true});
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
