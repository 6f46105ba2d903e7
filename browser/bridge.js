// The bridge this extension's pages and its shim talk to (tolmix.js holds
// the same address).
export const BRIDGE = "http://127.0.0.1:26410";
