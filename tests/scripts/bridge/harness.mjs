// A page for the injected scripts: a fresh node:vm context per test with the globals a document
// gives them, a fake fetch that answers "/plugin" as the native handler does, and the joined
// scripts of the build folder.
import fs from "node:fs";
import path from "node:path";
import vm from "node:vm";
import assert from "node:assert/strict";

const scriptsDir = process.env.PEL_SCRIPTS_DIR;
if (!scriptsDir) {
  throw new Error("PEL_SCRIPTS_DIR names the folder of the joined page scripts (run through ctest)");
}

export const SCHEME = "https";
export const DOMAIN = "zrk.test";
export const BASE = `${SCHEME}://${DOMAIN}`;

export const rawBootstrap = fs.readFileSync(path.join(scriptsDir, "init-env.js"), "utf8");
export const bridgeText = fs.readFileSync(path.join(scriptsDir, "bridge.js"), "utf8");
export const bootstrapText = rawBootstrap.replaceAll("{URI_SCHEME}", SCHEME).replaceAll("{URI_DOMAIN}", DOMAIN);

const INTERNALS = ["invoke", "invokeWithHandler", "Channel", "Resource", "Color", "LogicalSize", "PhysicalSize",
  "LogicalPosition", "PhysicalPosition", "NativeImage", "NamedNativeImage", "toImageArgument"];

function exposedBridge() {
  const end = "  return exports;\n})({});";
  assert.equal(bridgeText.split(end).length, 2, "the module ends with one return of its exports");
  return bridgeText.replace(end, `  exports.__test__ = { ${INTERNALS.join(", ")} };\n${end}`);
}

// What the webview host's first script gives every document: window.ipc and __sysinfo__.
const windowIpcScript = `
var window = globalThis;
Object.defineProperty(window, "ipc", { value: Object.freeze({ postMessage: function (m) { window.__posted__.push(m); } }) });
Object.defineProperty(window, "__posted__", { value: [] });
if (!window.__sysinfo__) { Object.defineProperty(window, "__sysinfo__", { value: {} }); }
window.__sysinfo__.os = "windows";
window.__sysinfo__.runmode = "Release";
`;

const REASONS = { 200: "OK", 400: "Bad Request", 404: "Not Found", 410: "Gone", 420: "", 500: "Internal Server Error" };

// Replies as the native side writes them.
export const reply = {
  json: (value, status = 200) => ({ status, type: "application/json", body: JSON.stringify(value) }),
  text: (text, status = 200) => ({ status, type: "text/plain", body: text }),
  binary: (bytes, status = 200) => ({ status, type: "application/octet-stream", body: new Uint8Array(bytes) }),
  raw: (status, type, body, statusText) => ({ status, type, body, statusText }),
  // A status reply: an empty "text/plain" body, the message as reason phrase and "x-status-error".
  fail: (status, message) => ({ status, type: "text/plain", body: "", statusText: message }),
};

function makeResponse(r) {
  const headers = new Headers();
  if (r.type !== undefined && r.type !== null) {
    headers.set("content-type", r.type);
  }
  const statusText = r.statusText ?? (r.status === 200 ? "OK" : REASONS[r.status] ?? "");
  if (r.status < 200 || r.status > 399) {
    headers.set("x-status-error", statusText);
  }
  headers.set("access-control-allow-origin", "*");
  return new Response(r.body === "" ? null : r.body, { status: r.status, statusText, headers });
}

// The command argument, read as the "/plugin" handler reads it; undefined stands for a parse error.
function nativePayload(headers, bodyText) {
  const type = headers.get("content-type") ?? "";
  if (type.includes("application/octet-stream") || headers.get("zrk-request")) {
    const options = headers.get("zrk-payload-options");
    if (!options) return null;
    try {
      return JSON.parse(Buffer.from(options, "base64").toString("utf8"));
    } catch {
      return null;
    }
  }
  if (type.includes("application/json")) {
    try {
      return JSON.parse(bodyText ?? "");
    } catch {
      return undefined;
    }
  }
  return null;
}

export class Page {
  // `expose` also publishes the module's internals as __zrk__.__test__ (the rest of the text is
  // the joined file unchanged).
  // `globals` adds what a test needs of the engine (Worker, document, location, ...).
  constructor({ ids, inject = true, debug = false, expose = false, globals = {} } = {}) {
    this.requests = [];
    this.handlers = new Map();
    this.logs = { log: [], warn: [], error: [] };
    this.idQueue = ids ? [...ids] : null;
    this.nextId = 1000;
    const page = this;
    const sandbox = {
      console: {
        log: (...a) => page.logs.log.push(a),
        warn: (...a) => page.logs.warn.push(a),
        error: (...a) => page.logs.error.push(a),
      },
      fetch: (url, init) => page.fetch(url, init),
      // The engine's own classes that the scripts use; host objects, as a browser's would be.
      Blob,
      FormData,
      URL,
      Response,
      btoa,
      atob,
      ...globals,
    };
    this.context = vm.createContext(sandbox);
    // crypto.getRandomValues made inside the page, drawing from the test's id source.
    const drawId = () => (page.idQueue && page.idQueue.length ? page.idQueue.shift() : page.nextId++);
    this.run(`(function (draw) {
       Object.defineProperty(globalThis, "crypto", { value: { getRandomValues(a) { a[0] = draw(); return a; } } });
     })`)(drawId);
    this.run(windowIpcScript);
    if (debug) this.run(`window.__sysinfo__.runmode = "Debug";`);
    if (inject) {
      this.run(bootstrapText, "init-env.js");
      this.run(expose ? exposedBridge() : bridgeText, "bridge.js");
    }
  }

  run(code, filename = "page.js") {
    return vm.runInContext(code, this.context, { filename });
  }

  get global() {
    return this.run("globalThis");
  }

  // Registers the native answer of "plugin:<name>|<command>": a reply, or a function of the
  // payload and the request that returns one (or a promise of one).
  on(command, answer) {
    this.handlers.set(command, answer);
    return this;
  }

  async fetch(url, init = {}) {
    // What the engine would send: its Request adds the type of a text or multipart body.
    const sent = new Request(url, init);
    const headers = sent.headers;
    const bytes = init.body === undefined || init.body === null ? null : Buffer.from(await sent.arrayBuffer());
    const bodyText = bytes ? bytes.toString("utf8") : null;
    const parsed = new URL(url);
    const request = {
      url,
      method: init.method,
      init,
      headers,
      rawHeaders: init.headers,
      body: init.body,
      bytes,
      bodyText,
      name: parsed.searchParams.get("name"),
      event: parsed.searchParams.get("event"),
    };
    request.command = `plugin:${request.name}|${request.event}`;
    request.payload = nativePayload(headers, bodyText);
    this.requests.push(request);
    if (parsed.origin !== BASE || parsed.pathname !== "/plugin") {
      return makeResponse({ status: 404, type: "text/plain", body: "", statusText: "Not Found" });
    }
    if (!request.name) {
      return makeResponse(reply.fail(400, "plugin not found"));
    }
    if (request.payload === undefined) {
      return makeResponse(reply.fail(400, "plugin not found"));
    }
    const answer = this.handlers.get(request.command);
    if (answer === undefined) {
      return makeResponse(reply.fail(420, "plugin invoke failed"));
    }
    const r = typeof answer === "function" ? await answer(request.payload, request) : answer;
    if (r instanceof Error) throw r;
    return makeResponse(r);
  }

  get last() {
    return this.requests[this.requests.length - 1];
  }

  // Names of the callback properties on the global object.
  callbackNames() {
    return [...this.run(`Object.getOwnPropertyNames(globalThis).filter((n) => /^_\\d+$/.test(n))`)];
  }
}

// Compares values across realms by their JSON form.
export function sameJson(actual, expected, message) {
  assert.deepEqual(JSON.parse(JSON.stringify(actual)), JSON.parse(JSON.stringify(expected)), message);
}

// Lets every pending reply and promise job run.
export async function settle() {
  for (let i = 0; i < 5; ++i) await new Promise((r) => setImmediate(r));
}

export async function rejection(promise) {
  try {
    await promise;
  } catch (e) {
    return e;
  }
  assert.fail("expected a rejection");
}

// A document as far as the scripts use one: event listeners, a ready state and a base URL.
export function fakeDocument({ baseURI = "https://app.test/index.html", readyState = "loading" } = {}) {
  const listeners = new Map();
  return {
    baseURI,
    readyState,
    addEventListener(type, fn) {
      if (!listeners.has(type)) listeners.set(type, []);
      listeners.get(type).push(fn);
    },
    listenerCount(type) {
      return (listeners.get(type) ?? []).length;
    },
    // Dispatches a fake event to the listeners of its type and returns what they returned.
    dispatch(type, event = {}) {
      this.readyState = type === "DOMContentLoaded" ? "interactive" : this.readyState;
      return (listeners.get(type) ?? []).map((fn) => fn({ type, ...event }));
    },
  };
}

// The native webview's channel scripts (sendChannelData and sendChannelMessage): the page fetches
// the parked value through "plugin:__zrk_channel__|fetch" and hands it to the callback.
export function channelDataScript(callbackId, dataId) {
  return ";(function(){ var window = typeof window==='undefined' ? globalThis : window; window.__zrk_internals__.invoke( " +
    "'plugin:__zrk_channel__|fetch', null, { headers:{ 'zrk-channel-id': '" + dataId + "' } } ).then( function(response){ " +
    "console.log('call channel message action: ' + '_' + " + callbackId + "); window['_' + " + callbackId + "](response) })" +
    ".catch(console.error); })();";
}

export function channelMessageScript(callbackId, dataId, order) {
  return ";(function(){ var window = typeof window==='undefined' ? globalThis : window; window.__zrk_internals__.invoke( " +
    "'plugin:__zrk_channel__|fetch', null, { headers:{ 'zrk-channel-id': '" + dataId + "' } } ).then( function(response){ " +
    "window['_' + " + callbackId + "]({ message: response, id: " + (order >>> 0) + " }) }).catch(console.error); })();";
}

// Parks channel values as the native webview does and answers the page's fetch of them.
export function channelTable(page) {
  const parked = new Map();
  let next = 1;
  page.on("plugin:__zrk_channel__|fetch", (payload, request) => {
    const id = Number(request.headers.get("zrk-channel-id"));
    if (!parked.has(id)) return reply.fail(400, "no channel data");
    const value = parked.get(id);
    parked.delete(id);
    return reply.json(value);
  });
  return {
    // sendChannelData: the callback receives the value itself.
    sendData(callbackId, value) {
      const id = next++;
      parked.set(id, value);
      page.run(channelDataScript(callbackId, id));
    },
    // sendChannelMessage: the callback receives {message: value, id: order}.
    sendMessage(callbackId, value, order) {
      const id = next++;
      parked.set(id, value);
      page.run(channelMessageScript(callbackId, id, order));
    },
  };
}
