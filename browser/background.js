// Keeps one registered content script, the page shim (tolmix.js, as the
// bridge serves it), matching the enabled sites only: it runs in the page's
// own world at document_start, before any of the page's scripts.  Nothing
// here listens to messages: a page, or the shim in it, has no way in.
import {api, enabledSites, patternOf} from "./sites.js";

const ID = "tolmix-shim";
let pending = Promise.resolve();

async function sync() {
  const matches = (await enabledSites()).map(patternOf);
  const [have] = await api.scripting.getRegisteredContentScripts({ids: [ID]});
  // Left as it is when nothing changed (a worker that wakes again): a page
  // loading meanwhile must not miss the shim.
  if (have && have.matches.join() === matches.join()) return;
  if (have) await api.scripting.unregisterContentScripts({ids: [ID]});
  if (!matches.length) return;
  await api.scripting.registerContentScripts([{
    id: ID, js: ["tolmix.js"], matches, runAt: "document_start", world: "MAIN", allFrames: true,
    persistAcrossSessions: false,
  }]);
}

// One update at a time, in order of the changes.
function resync() {
  pending = pending.then(sync).catch((e) => console.error("tolmix: sites not updated:", e));
  return pending;
}

api.runtime.onInstalled.addListener(resync);
api.runtime.onStartup.addListener(resync);
api.storage.onChanged.addListener((changes, area) => {
  if ((area === "local" || area === "managed") && changes.origins) resync();
});
resync();
