// The toolbar page: the current site, the switch that enables it for this
// user (asking the browser's own permission for the site first), and the
// two answers that decide whether its pages get the control: this
// extension's (enabled or not, and by whom) and the bridge's (its standing
// consent for the page's origin, from GET /status, which asks nobody).
// Opened in a tab of its own, popup.html?url=URL shows URL's site.
import {BRIDGE} from "./bridge.js";
import {adminSites, api, patternOf, setUserSite, siteOf, userSites} from "./sites.js";

const $ = (id) => document.getElementById(id);

async function currentUrl() {
  const given = new URLSearchParams(location.search).get("url");
  if (given) return given;
  const [tab] = await api.tabs.query({active: true, currentWindow: true});
  return tab ? tab.url : "";
}

// The bridge's standing answer in words.  "refused": nobody allowed or
// denied it for good, but a question about its site was declined or not
// answered lately, so its calls are refused without asking for a while.
export function answerText(a) {
  if (a.answer === "refused") {
    const minutes = Math.max(1, Math.ceil(a.seconds / 60));
    return `refused for ${minutes} more min (the last question was denied or not answered)`;
  }
  const words = {allow: "allowed", deny: "denied", ask: "not decided: the page's first call asks you"};
  return words[a.answer] + (a.by ? ` (by ${a.by === "user" ? "you" : "your administrator"})` : "");
}

async function bridgeAnswer(origin) {
  try {
    const r = await fetch(`${BRIDGE}/status?origin=${encodeURIComponent(origin)}`, {cache: "no-store"});
    if (!r.ok) return `refused (${r.status})`;
    return answerText(await r.json());
  } catch (e) {
    return "not reachable";
  }
}

async function show(url) {
  const site = siteOf(url);
  const box = $("use");
  if (!site) {
    $("site").textContent = "This page is not a web site.";
    box.disabled = true;
    return;
  }
  const origin = new URL(url).origin;
  const admin = (await adminSites()).includes(site);
  const mine = (await userSites()).includes(site);
  $("site").textContent = origin;
  box.checked = admin || mine;
  box.disabled = admin;  // the administrator's list is not the user's to undo
  $("extension").textContent = "This extension: " +
      (admin ? "enabled by your administrator" : mine ? "enabled by you" : "not enabled");
  $("bridge").textContent = "The bridge: " + await bridgeAnswer(origin);
  box.onchange = () => {
    // The browser's own permission for the site, asked while the click
    // still counts as the user's.
    const on = box.checked;
    const asked = on ? api.permissions.request({origins: [patternOf(site)]}) : Promise.resolve(true);
    asked.then((granted) => setUserSite(site, on && granted))
         .then(() => show(url), (e) => { $("extension").textContent = "Not changed: " + e.message; });
  };
}

currentUrl().then(show);
