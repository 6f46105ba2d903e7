/*
 * tolmix.js: lets an unchanged page script use the tolmix control in a
 * browser that cannot load in-process controls.  Add, before the page's
 * own scripts:
 *
 *     <script src="http://127.0.0.1:26410/tolmix.js"></script>
 *
 * or let the browser extension (browser/) put it in the pages of the sites
 * enabled there, unchanged.  It talks to `tolmix bridge` on this machine
 * (the address this script was loaded from, or 127.0.0.1:26410 for a copy
 * served from elsewhere or put in by the extension).  It gives the page:
 *   - new ActiveXObject("TOLMIX.TOLMIXCtrl.1"): a control whose members are
 *     called synchronously, as on the platform the control came from; names
 *     match in any letter case; other ProgIDs throw as when a server cannot
 *     create an object;
 *   - <object classid="clsid:..."> elements of the control's class become
 *     working controls, found by id from inline scripts after them;
 *   - tolmix.create(): the same control with methods returning Promises;
 *   - tolmix.putFile(file) and tolmix.getFile(path) for the files that the
 *     file members read and write (they live in this site's own folder).
 * Objects are released when the page goes away.
 */
(function (global) {
  "use strict";

  // Filled in by the bridge: ProgID, class ID and every member of the
  // control's dispatch table.
  var CLASS = /*@TOLMIX_CLASS@*/null;

  // One shim per page: where the browser extension put it in before the
  // page's scripts, the page's own script tag finds it and adds nothing.
  var MARK = typeof Symbol === "function" ? Symbol.for("tolmix.shim") : "__tolmixShim";
  if (global[MARK]) return;

  // A page that froze its window, or holds ActiveXObject or tolmix itself,
  // keeps them: nothing of the shim is added (no half shim), and the
  // console says why.
  function taken(name) {
    var d = Object.getOwnPropertyDescriptor(global, name);
    if (!d) return name in global && global[name] !== undefined;
    return d.value !== undefined || d.get !== undefined || d.set !== undefined || !d.writable;
  }
  var refusal = !Object.isExtensible(global) ? "the page froze its window"
      : taken("ActiveXObject") ? "the page defines ActiveXObject itself"
      : taken("tolmix") ? "the page defines tolmix itself" : "";
  if (refusal) {
    if (global.console) console.error("tolmix: " + refusal + "; the certificate control is not added");
    return;
  }
  Object.defineProperty(global, MARK, {value: true});

  var script = document.currentScript;
  // The bridge this script came from; a copy that a site hosts itself
  // (the package installs one) talks to the bridge at its usual address.
  var BASE = "http://127.0.0.1:26410";
  if (script && script.src) {
    var from = new URL(script.src);
    if (from.protocol === "http:" && (from.hostname === "127.0.0.1" || from.hostname === "localhost")) {
      BASE = from.origin;
    }
  }
  var members = {};  // lower-case name -> member
  (CLASS ? CLASS.members : []).forEach(function (m) { members[m.name.toLowerCase()] = m; });
  var live = {};     // object id -> true, released on pagehide

  // What can go wrong between the page and the control, each with its own
  // number and message: this site refused (E_ACCESSDENIED), the bridge not
  // there (RPC_S_SERVER_UNAVAILABLE), a call not answered in time
  // (ERROR_TIMEOUT, from the bridge, which then ends the control's process).
  var REFUSED = -2147024891, UNREACHABLE = -2147023174, TIMED_OUT = -2147023436;
  // "Automation server can't create object" (0x800A01AD): what scripts
  // expect where the control is not installed.
  var CANNOT_CREATE = -2146827859;

  function failure(message, number) {
    var e = new Error(message);
    e.number = number | 0;
    e.description = message;
    return e;
  }

  function creationError(detail) {
    return failure("Automation server can't create object" + (detail ? ": " + detail : ""), CANNOT_CREATE);
  }

  // "Object doesn't support this property or method" (0x800A01B6), as the
  // script engine says it of a control's unknown member.
  function unsupported() {
    var e = new TypeError("Object doesn't support this property or method");
    e.number = -2146827850;
    e.description = e.message;
    return e;
  }

  function callError(answer) { return failure(answer.error, answer.hresult); }

  function unreachable(detail) {
    return failure("the tolmix bridge cannot be reached" + (detail ? " (" + detail + ")" : ""), UNREACHABLE);
  }

  // An answer that is not 200: a refusal the bridge explains (403 with its
  // reason, readable by the page) or another status.
  function statusError(status, text) {
    var reason;
    try {
      reason = JSON.parse(text).error;
    } catch (e) {
      reason = String(text || "").replace(/^refused: /, "").trim();
    }
    if (status === 403) {
      return failure("the tolmix bridge refused this site" + (reason ? ": " + reason : ""), REFUSED);
    }
    return failure("the tolmix bridge refused the call (" + status + (reason ? ": " + reason : "") + ")",
                   REFUSED);
  }

  // A synchronous call: what a page's script expects of the control.
  function callSync(path, body) {
    var x = new XMLHttpRequest();
    x.open("POST", BASE + path, false);
    x.setRequestHeader("Content-Type", "application/json");
    try {
      x.send(JSON.stringify(body));
    } catch (e) {
      throw unreachable(e.message);
    }
    if (x.status !== 200) throw statusError(x.status, x.responseText);
    var answer = JSON.parse(x.responseText);
    if (answer.error !== undefined) throw callError(answer);
    return answer;
  }

  function callAsync(path, body) {
    return fetch(BASE + path, {
      method: "POST",
      headers: {"Content-Type": "application/json"},
      body: JSON.stringify(body)
    }).then(function (r) {
      if (r.status !== 200) return r.text().then(function (t) { throw statusError(r.status, t); });
      return r.json();
    }, function (e) {
      throw unreachable(e.message);
    }).then(function (answer) {
      if (answer.error !== undefined) throw callError(answer);
      return answer;
    });
  }

  function args(list) {
    var out = [];
    for (var i = 0; i < list.length; i++) {
      var a = list[i];
      out.push(a === undefined ? null : a);
    }
    return out;
  }

  // Defines the members on TARGET under NAMES(member) as accessors and
  // methods calling through CALL(path, body).
  function defineMembers(target, id, call, names) {
    CLASS.members.forEach(function (m) {
      names(m.name).forEach(function (name) {
        if (m.kind === "property") {
          Object.defineProperty(target, name, {
            configurable: true, enumerable: true,
            get: function () { return call("/invoke", {id: id, name: m.name, kind: "get", args: []}); },
            set: function (v) { call("/invoke", {id: id, name: m.name, kind: "put", args: args([v])}); }
          });
        } else {
          Object.defineProperty(target, name, {
            configurable: true, enumerable: true, writable: true,
            value: function () {
              return call("/invoke", {id: id, name: m.name, kind: "call", args: args(arguments)});
            }
          });
        }
      });
    });
  }

  function syncValue(path, body) { return callSync(path, body).value; }
  function asyncValue(path, body) { return callAsync(path, body).then(function (a) { return a.value; }); }

  // Names the language itself looks up on any object (a Promise resolved
  // with the control, JSON.stringify): never the page asking for a member.
  var PROBES = {then: true, toJSON: true};

  // The control object a script gets: members in any letter case; any
  // other name, read, called or written, is refused as the control
  // refuses it.
  function makeControl(id) {
    var target = {};
    defineMembers(target, id, syncValue, function (n) { return [n]; });
    return new Proxy(target, {
      get: function (t, name) {
        if (typeof name !== "string") return t[name];
        var m = members[name.toLowerCase()];
        if (m) return t[m.name];
        if (name in t || PROBES[name]) return t[name];
        throw unsupported();
      },
      set: function (t, name, value) {
        var m = typeof name === "string" ? members[name.toLowerCase()] : null;
        // A method is not a property, nor is a name the control lacks.
        if (!m || m.kind !== "property") throw unsupported();
        t[m.name] = value;
        return true;
      },
      has: function (t, name) {
        return (typeof name === "string" && !!members[name.toLowerCase()]) || name in t;
      }
    });
  }

  // A failed create throws "Automation server can't create object" where
  // nothing answers (as where the control is not installed); a refusal or a
  // create that timed out keeps its own number.
  function createId() {
    if (!CLASS) throw creationError("the tolmix bridge did not describe the control");
    var answer;
    try {
      answer = callSync("/create", {progid: CLASS.progId});
    } catch (e) {
      if (e.number === REFUSED || e.number === TIMED_OUT) throw e;
      throw creationError(e.message);
    }
    live[answer.id] = true;
    return answer.id;
  }

  function ActiveXObject(progId) {
    if (!CLASS || String(progId).toLowerCase() !== CLASS.progId.toLowerCase()) {
      throw creationError();
    }
    return makeControl(createId());
  }

  // <object classid="clsid:..."> of the control's class: the element gets
  // the members under their own names and in lower case, and any other
  // letter case through a prototype that maps it (the element itself cannot
  // be a Proxy; instanceof still sees HTMLObjectElement).
  function caseMapping(proto) {
    function member(name) { return typeof name === "string" ? members[name.toLowerCase()] : null; }
    return new Proxy(Object.create(proto), {
      get: function (t, name, receiver) {
        var m = member(name);
        return m ? receiver[m.name] : Reflect.get(t, name, receiver);
      },
      set: function (t, name, value, receiver) {
        var m = member(name);
        if (!m) return Reflect.set(t, name, value, receiver);
        receiver[m.name] = value;
        return true;
      },
      has: function (t, name) { return !!member(name) || Reflect.has(t, name); }
    });
  }

  // As the element of a loaded control: readyState 4 (and one
  // readystatechange, with the onreadystatechange property or attribute
  // called, once the page's scripts up to the end of parsing have had their
  // chance to listen), .object the control itself, classid and codeBase
  // as written.
  function standIn(el, id) {
    var control = makeControl(id);
    var fixed = {readyState: 4, object: control};
    Object.keys(fixed).forEach(function (name) {
      Object.defineProperty(el, name, {configurable: true, enumerable: true,
                                       get: function () { return fixed[name]; }});
    });
    ["classid", "codeBase"].forEach(function (name) {
      Object.defineProperty(el, name, {
        configurable: true, enumerable: true,
        get: function () { return el.getAttribute(name) || ""; },
        set: function (v) { el.setAttribute(name, v); }
      });
    });
    function fire() {
      var handler = el.onreadystatechange, text = el.getAttribute("onreadystatechange");
      if (typeof handler !== "function" && text) {
        try {
          handler = new Function("event", text);
        } catch (e) {
          if (global.console) console.error("tolmix: onreadystatechange of #" + el.id + ": " + e.message);
        }
      }
      var event = new Event("readystatechange");
      el.dispatchEvent(event);
      if (typeof handler === "function") handler.call(el, event);
    }
    if (document.readyState === "loading") {
      document.addEventListener("DOMContentLoaded", fire, {once: true});
    } else {
      setTimeout(fire, 0);
    }
  }

  function upgrade(el) {
    if (el.__tolmixId || !CLASS) return;
    var cls = (el.getAttribute("classid") || "").replace(/^clsid:/i, "").replace(/[{}]/g, "");
    if (cls.toLowerCase() !== CLASS.clsid.toLowerCase()) return;
    var id;
    try {
      id = createId();
    } catch (e) {
      if (global.console) console.error("tolmix: " + e.message);
      return;
    }
    el.__tolmixId = id;
    defineMembers(el, id, syncValue, function (n) {
      return n.toLowerCase() === n ? [n] : [n, n.toLowerCase()];
    });
    Object.setPrototypeOf(el, caseMapping(Object.getPrototypeOf(el)));
    standIn(el, id);
  }

  function upgradeAll(root) {
    var list = (root || document).getElementsByTagName("object");
    for (var i = 0; i < list.length; i++) upgrade(list[i]);
  }

  global.ActiveXObject = ActiveXObject;

  // Elements parsed after this script: the observer runs before the next
  // inline script does.
  new MutationObserver(function (records) {
    records.forEach(function (r) {
      r.addedNodes.forEach(function (n) {
        if (n.nodeType !== 1) return;
        if (n.tagName === "OBJECT") upgrade(n);
        else upgradeAll(n);
      });
    });
  }).observe(document.documentElement, {childList: true, subtree: true});
  upgradeAll(document);

  // Promise API for new pages.
  function base64ToBytes(text) {
    var bin = atob(text), bytes = new Uint8Array(bin.length);
    for (var i = 0; i < bin.length; i++) bytes[i] = bin.charCodeAt(i);
    return bytes;
  }

  function bytesToBase64(bytes) {
    var parts = [];
    for (var i = 0; i < bytes.length; i += 0x8000) {
      parts.push(String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000)));
    }
    return btoa(parts.join(""));
  }

  global.tolmix = {
    // A control whose methods and property reads return Promises; property
    // writes go through set(name, value).
    create: function () {
      if (!CLASS) return Promise.reject(creationError());
      return callAsync("/create", {progid: CLASS.progId}).then(function (answer) {
        var id = answer.id, obj = {id: id};
        live[id] = true;
        CLASS.members.forEach(function (m) {
          obj[m.name] = m.kind === "property"
              ? function () { return asyncValue("/invoke", {id: id, name: m.name, kind: "get", args: []}); }
              : function () { return asyncValue("/invoke", {id: id, name: m.name, kind: "call", args: args(arguments)}); };
        });
        obj.set = function (name, value) {
          return asyncValue("/invoke", {id: id, name: name, kind: "put", args: args([value])});
        };
        obj.release = function () {
          delete live[id];
          return callAsync("/release", {id: id});
        };
        return obj;
      });
    },
    // Stores FILE (a File or Blob) in this site's folder; resolves to the
    // path to hand to the file members.
    putFile: function (file, name) {
      return file.arrayBuffer().then(function (buf) {
        return callAsync("/put", {name: name || file.name, data: bytesToBase64(new Uint8Array(buf))});
      }).then(function (a) { return a.path; });
    },
    // The file at PATH in this site's folder, as a Blob.
    getFile: function (path) {
      return callAsync("/get", {path: path}).then(function (a) {
        return new Blob([base64ToBytes(a.data)], {type: "application/octet-stream"});
      });
    },
    bridge: BASE
  };

  // The page is going away: release its objects (the worker also ends when
  // idle, should this never arrive).  A synchronous call where the browser
  // still allows one (Firefox: its Local Network Access checks hold a
  // keep-alive request of a page that is gone); else a keep-alive fetch,
  // which outlives the page as a beacon does (a beacon may carry only a
  // CORS-safe type, which the bridge refuses).
  global.addEventListener("pagehide", function () {
    var ids = Object.keys(live);
    if (!ids.length) return;
    live = {};
    var body = JSON.stringify({ids: ids});
    try {
      var x = new XMLHttpRequest();
      x.open("POST", BASE + "/release", false);
      x.setRequestHeader("Content-Type", "application/json");
      x.send(body);
      return;
    } catch (e) {}
    try {
      fetch(BASE + "/release", {
        method: "POST", keepalive: true, headers: {"Content-Type": "application/json"}, body: body
      }).catch(function () {});
    } catch (e) {}
  });
})(this);
