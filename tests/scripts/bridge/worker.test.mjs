// Web Workers: the page's Worker replacement and the proxy script that runs inside each worker.
import test from "node:test";
import assert from "node:assert/strict";
import vm from "node:vm";
import { Page, BASE, sameJson, settle, fakeDocument } from "./harness.mjs";

// A page whose engine Worker records what it was made with and what it was sent.
function workerPage() {
  const made = [];
  class EngineWorker {
    constructor(url, options) {
      this.url = url;
      this.options = options;
      this.posted = [];
      made.push(this);
    }
    postMessage(m) {
      this.posted.push(m);
    }
  }
  const blobs = new Map();
  const revoked = [];
  const URLWithObjects = class extends URL {
    static createObjectURL(blob) {
      const url = `blob:https://app.test/${blobs.size + 1}`;
      blobs.set(url, blob);
      return url;
    }
    static revokeObjectURL(url) {
      // Revoked only once the engine's worker holds the location.
      revoked.push({ url, workers: made.length });
    }
  };
  const page = new Page({
    globals: {
      Worker: EngineWorker,
      URL: URLWithObjects,
      location: { origin: "https://app.test", href: "https://app.test/sub/page.html" },
      document: fakeDocument({ baseURI: "https://app.test/sub/page.html" }),
    },
  });
  return { page, made, blobs, revoked, EngineWorker };
}

test("the Worker replacement starts every worker on the proxy and sends it the script", async () => {
  const { page, made, blobs, revoked, EngineWorker } = workerPage();
  assert.equal(page.run(`NativeWorker`), EngineWorker);
  // [argument expression, scriptUrl that the worker receives]
  const cases = [
    [`"w.js"`, "https://app.test/sub/w.js"],
    [`"/lib/w.js"`, "https://app.test/lib/w.js"],
    [`"https://cdn.test/x.js"`, "https://cdn.test/x.js"],
    [`"blob:https://app.test/abc"`, "blob:https://app.test/abc"],
    [`new URL("https://app.test/u.js")`, "https://app.test/u.js"],
  ];
  for (const [arg, scriptUrl] of cases) {
    const w = page.run(`new Worker(${arg}, { name: "n" })`);
    assert.ok(w instanceof EngineWorker, arg);
    assert.equal(w, made[made.length - 1]);
    assert.match(w.url, /^blob:/);
    assert.deepEqual(revoked[revoked.length - 1], { url: w.url, workers: made.length }, "the proxy's URL is revoked");
    sameJson(w.options, { name: "n" });
    assert.equal(w.posted.length, 1);
    const m = w.posted[0];
    assert.equal(m.type, "__init_env__");
    assert.equal(m.scriptUrl, scriptUrl, arg);
    assert.ok(m.initstr.startsWith("function __init_env__(host)"));
    assert.ok(m.initstr.endsWith("\n__init_env__(globalThis);\n\n"));
    assert.ok(m.initstr.includes(`"${BASE}"`) && !m.initstr.includes("{URI_"));
  }
  const urlLogs = page.logs.log.filter((a) => a[0] === "This is an instanceof URL. It will be converted to a string.");
  assert.equal(urlLogs.length, 1);

  // A Blob goes to the worker as it is; other values go to the engine untouched.
  const blobWorker = page.run(`Worker(new Blob(["x"]))`);
  assert.ok(blobWorker.posted[0].scriptUrl instanceof Blob);
  const before = made.length;
  const plain = page.run(`new Worker(42)`);
  assert.equal(plain.url, 42);
  assert.equal(plain.posted.length, 0);
  assert.equal(made.length, before + 1);

  const proxy = blobs.get(made[0].url);
  assert.equal(proxy.type, "application/javascript");
});

test("the path settings travel with the environment", () => {
  const { page } = workerPage();
  page.run(`Object.defineProperty(__zrk_internals__.plugins, "path", { value: { sep: "\\\\", delimiter: ":" } });`);
  const m = page.run(`new Worker("w.js")`).posted[0];
  const scope = runInWorkerScope(m.initstr);
  sameJson(scope.run(`__zrk_internals__.plugins.path`), { sep: "\\", delimiter: ":" });
});

// A worker's global scope: self, a message target, fetch and the engine's classes.
function runInWorkerScope(initCode, { fetchImpl } = {}) {
  const logs = { log: [], error: [] };
  const context = vm.createContext({
    console: { log: (...a) => logs.log.push(a), error: (...a) => logs.error.push(a), warn() {} },
    fetch: fetchImpl ?? (() => Promise.reject(new TypeError("no network"))),
    Blob,
    Response,
    MessageEvent,
  });
  const run = (code) => vm.runInContext(code, context);
  run(`var self = globalThis;
       Object.defineProperty(globalThis, "crypto", { value: { getRandomValues(a) { a[0] = 1 + Math.floor(Math.random() * 1e9); return a; } } });
       const listeners = [];
       self.addEventListener = (type, fn) => { if (type === "message") listeners.push(fn); };
       self.dispatchEvent = (e) => { if (typeof self.onmessage === "function") self.onmessage(e); listeners.forEach((fn) => fn(e)); return true; };`);
  if (initCode) run(initCode);
  return { run, logs, context };
}

test("the proxy loads the script, sets up the environment and keeps early messages", async () => {
  const { page, made, blobs } = workerPage();
  const worker = page.run(`new Worker("w.js")`);
  const proxyText = await blobs.get(made[0].url).text();
  const fetched = [];
  const scope = runInWorkerScope(null, {
    fetchImpl: async (url) => {
      fetched.push(url);
      return new Response(`
        var seen = [];
        function helper() {}
        self.onmessage = function (e) { seen.push(e.data); };
        self.report = function () { return { seen: seen, env: typeof __zrk_internals__.invoke, base: __zrk_internals__.baseUrl }; };`);
    },
  });
  scope.run(proxyText);
  // A message posted right after construction, before the script has loaded.
  scope.run(`(m) => self.onmessage({ data: m })`)({ early: 1 });
  scope.run(`(m) => self.onmessage({ data: m })`)(worker.posted[0]);
  await settle();
  assert.deepEqual(fetched, ["https://app.test/sub/w.js"]);
  const report = scope.run(`self.report()`);
  sameJson(report, { seen: [{ early: 1 }], env: "function", base: BASE });
  // The script's top-level declarations stay inside the evaluation.
  assert.equal(scope.run(`typeof helper`), "undefined");
  assert.deepEqual(scope.logs.log.map((a) => a[0]), ["evaluate worker script."]);
  assert.deepEqual(scope.logs.error, []);
});

test("a script that cannot be loaded is reported in the worker", async () => {
  const { page, made, blobs } = workerPage();
  const worker = page.run(`new Worker("missing.js")`);
  const proxyText = await blobs.get(made[0].url).text();
  for (const fetchImpl of [async () => { throw new TypeError("Failed to fetch"); }, async () => new Response("", { status: 404 })]) {
    const scope = runInWorkerScope(null, { fetchImpl });
    scope.run(proxyText);
    scope.run(`(m) => self.onmessage({ data: m })`)(worker.posted[0]);
    await settle();
    assert.equal(scope.logs.error.length, 1);
    assert.equal(scope.logs.error[0][0], "Faield to fetch worker script:");
    assert.equal(scope.run(`typeof __zrk_internals__`), "undefined");
  }
});
