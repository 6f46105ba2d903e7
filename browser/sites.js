// Which sites get the control: the administrator's list (managed storage,
// from the browser's policy) and the user's own (local storage, written by
// the toolbar page).  A site is a scheme and a host name: match patterns
// carry no port, so every port of the host is the same site here.  The
// bridge's own consent is per origin and stays the gate for every call.
export const api = globalThis.browser ?? globalThis.chrome;

// "https://Www.Example.cn:8443/x" -> "https://www.example.cn"; "" for
// anything that is not an http(s) URL or origin.
export function siteOf(text) {
  try {
    const u = new URL(String(text));
    return u.protocol === "https:" || u.protocol === "http:" ? `${u.protocol}//${u.hostname}` : "";
  } catch {
    return "";
  }
}

export function patternOf(site) { return `${site}/*`; }

async function listIn(area) {
  try {
    const got = await api.storage[area].get("origins");
    return Array.isArray(got.origins) ? got.origins.map(siteOf).filter(Boolean) : [];
  } catch {
    return [];  // no policy set (Firefox rejects the read): no sites
  }
}

export const adminSites = () => listIn("managed");
export const userSites = () => listIn("local");

export async function setUserSite(site, on) {
  const now = new Set(await userSites());
  if (on) now.add(site); else now.delete(site);
  await api.storage.local.set({origins: [...now].sort()});
}

export async function enabledSites() {
  return [...new Set([...(await adminSites()), ...(await userSites())])].sort();
}
