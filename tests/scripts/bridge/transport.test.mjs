// The environment bootstrap: __zrk_internals__, URLs, body encoding, replies and callbacks.
import test from "node:test";
import assert from "node:assert/strict";
import { Page, BASE, reply, sameJson, settle, rejection } from "./harness.mjs";

test("invoke posts the command and settles once with its reply", async () => {
  const page = new Page({ ids: [11, 12] });
  page.on("plugin:window|create", reply.json("main"));
  const result = await page.run(`__zrk_internals__.invoke("plugin:window|create", { label: "main" })`);
  assert.equal(result, "main");
  assert.equal(page.requests.length, 1);
  const r = page.last;
  assert.equal(r.url, `${BASE}/plugin?name=window&event=create`);
  assert.equal(r.method, "POST");
  assert.equal(r.bodyText, '{"label":"main"}');
  sameJson(r.rawHeaders, { "Content-Type": "application/json", "zrk-Callback": "11", "zrk-Error": "12" });
  assert.deepEqual(page.callbackNames(), []);
});

test("buildUrl maps command strings to request URLs", () => {
  const page = new Page();
  const cases = [
    ["plugin:window|create", "/plugin?name=window&event=create"],
    ["plugin:path", "/plugin?name=path"],
    ["plugin:a|b|c", "/plugin?name=a&event=b"],
    ["plugin:a:b|c", "/plugin?name=a"],
    ["/plugin:x|y", "/plugin?name=x&event=y"],
    ["asset", "/asset"],
    ["plugin:a b&c|d?e", "/plugin?name=a%20b%26c&event=d%3Fe"],
  ];
  for (const [cmd, url] of cases) {
    assert.equal(page.run(`__zrk_internals__.buildUrl(${JSON.stringify(cmd)})`), BASE + url, cmd);
  }
});

test("payloads are encoded by kind", async () => {
  // [payload expression, Content-Type sent, body text (null: no body)]
  const cases = [
    [`({ a: 1, b: [true, null] })`, "application/json", '{"a":1,"b":[true,null]}'],
    [`null`, "application/json", "null"],
    [`undefined`, "application/json", null],
    [`42`, "application/json", "42"],
    [`new Blob(["x"])`, "application/json", "{}"],
    [`new Map([[1, "a"], ["k", new Map([["n", 2]])]])`, "application/json", '{"1":"a","k":{"n":2}}'],
    [`({ m: new Map([["x", 1], ["x", 2]]) })`, "application/json", '{"m":{"x":2}}'],
    [`new Map([["__proto__", 1]])`, "application/json", '{"__proto__":1}'],
    [`({ h: { __zrk_channel_marker__: true, id: 7 } })`, "application/json", '{"h":"__channel__:7"}'],
    [`({ h: Object.create({ __zrk_channel_marker__: 1 }, { id: { value: 7, enumerable: true } }) })`,
     "application/json", '{"h":"__channel__:7"}'],
    [`({ h: { __zrk_channel_marker__: true, id: "7" } })`, "application/json",
     '{"h":{"__zrk_channel_marker__":true,"id":"7"}}'],
    [`new Uint8Array([1, 2, 255])`, "application/octet-stream", "\x01\x02\ufffd"],
    [`new Uint8Array([65, 66]).buffer`, "application/octet-stream", "AB"],
    [`"plain text"`, "text/plain;charset=UTF-8", "plain text"],
  ];
  for (const [expr, type, body] of cases) {
    const page = new Page();
    page.on("plugin:t|t", reply.json(true));
    await page.run(`__zrk_internals__.invoke("plugin:t|t", ${expr})`).catch(() => {});
    const r = page.last;
    assert.equal(r.headers.get("content-type"), type, expr);
    assert.equal(r.bodyText, body, expr);
  }
});

test("binary bodies keep their bytes and the caller's headers win", async () => {
  const page = new Page();
  page.on("plugin:t|t", reply.json(true));
  await page.run(`__zrk_internals__.invoke("plugin:t|t", new Uint8Array([0, 200, 7]),
      { headers: { "zrk-payload-options": btoa('{"name":"x"}') } })`);
  assert.deepEqual([...page.last.bytes], [0, 200, 7]);
  sameJson(page.last.payload, { name: "x" });

  await page.run(`__zrk_internals__.invoke("plugin:t|t", "{}", { headers: { "Content-Type": "application/json" } })`);
  assert.equal(page.last.headers.get("content-type"), "application/json");
  sameJson(page.last.payload, {});
});

test("replies are read by their content type and routed by their status", async () => {
  // [reply, options, "resolve" | "reject", expected value (a function checks it)]
  const isBuffer = (v) => Object.prototype.toString.call(v) === "[object ArrayBuffer]";
  const cases = [
    [reply.json(null), undefined, "resolve", null],
    [reply.json(false), undefined, "resolve", false],
    [reply.json({ a: [1] }), undefined, "resolve", { a: [1] }],
    [reply.text("hello"), undefined, "resolve", "hello"],
    [reply.text(""), undefined, "resolve", ""],
    [reply.binary([1, 2]), undefined, "resolve", (v) => isBuffer(v) && v.byteLength === 2],
    [reply.raw(200, "application/json; charset=utf-8", "1"), undefined, "resolve", (v) => isBuffer(v) && v.byteLength === 1],
    [reply.raw(200, "text/plain,application/json", "[1]"), undefined, "resolve", "[1]"],
    [reply.raw(200, undefined, "x"), undefined, "resolve", isBuffer],
    [reply.fail(400, "Invalid resource id"), undefined, "reject", "Invalid resource id"],
    [reply.fail(400, "Invalid resource id"), { failresponse: true }, "reject", (v) => v instanceof Response && v.status === 400],
    [reply.raw(410, "text/plain", "body text wins", "status text"), undefined, "reject", "body text wins"],
    [reply.raw(400, "application/json", "0", "zero falls back"), undefined, "reject", "zero falls back"],
    [reply.raw(400, "application/json", "false", "false falls back"), undefined, "reject", "false falls back"],
    [reply.raw(400, "application/json", '"why"', "x"), undefined, "reject", "why"],
    [reply.raw(400, "application/octet-stream", "", "x"), undefined, "reject", (v) => isBuffer(v) && v.byteLength === 0],
    [reply.raw(200, "application/json", "", undefined), undefined, "reject", (v) => v instanceof SyntaxError],
    [reply.json(1), { injection: true }, "resolve", (v) => v instanceof Response && !v.bodyUsed],
    [reply.fail(420, "plugin invoke failed"), { injection: true }, "reject", (v) => v instanceof Response && v.status === 420],
  ];
  for (const [r, options, outcome, expected] of cases) {
    const page = new Page();
    page.on("plugin:t|t", r);
    const label = `${JSON.stringify(r)} ${JSON.stringify(options)}`;
    const promise = page.run(`__zrk_internals__.invoke("plugin:t|t", {}, ${JSON.stringify(options)})`);
    let value;
    let settledAs;
    await promise.then((v) => { value = v; settledAs = "resolve"; }, (e) => { value = e; settledAs = "reject"; });
    assert.equal(settledAs, outcome, label);
    if (typeof expected === "function") assert.ok(expected(value), label);
    else sameJson(value, expected, label);
    assert.deepEqual(page.callbackNames(), [], label);
  }
});

test("the native handler's refusals reach the page as their messages", async () => {
  const page = new Page();
  // No payload: no body but the JSON type, which the handler cannot parse.
  assert.equal(await rejection(page.run(`__zrk_internals__.invoke("plugin:resource|list")`)), "plugin not found");
  assert.equal(page.last.body, undefined);
  assert.equal(await rejection(page.run(`__zrk_internals__.invoke("plugin:nope|x", {})`)), "plugin invoke failed");
  assert.equal(page.last.headers.get("x-status-error"), null);
});

test("a request that cannot be made rejects with the engine's error", async () => {
  const page = new Page();
  page.on("plugin:t|t", () => new TypeError("Failed to fetch"));
  const e = await rejection(page.run(`__zrk_internals__.invoke("plugin:t|t", {})`));
  assert.equal(e.message, "Failed to fetch");
  assert.deepEqual(page.callbackNames(), []);
});

test("a send that fails at once rejects, sends nothing and leaves no callback", async () => {
  const page = new Page();
  for (const call of [
    `(() => { const a = {}; a.self = a; return __zrk_internals__.invoke("plugin:t|t", a); })()`,
    `__zrk_internals__.invoke("plugin:t|t", { n: 1n })`,
    `__zrk_internals__.invoke(42, {})`,
  ]) {
    const e = await rejection(page.run(call));
    assert.equal(e.name, "TypeError", call);
  }
  assert.equal(page.requests.length, 0);
  assert.deepEqual(page.callbackNames(), []);
});

test("callback ids: never 0, never a live id; once-callbacks delete themselves", () => {
  const page = new Page({ ids: [0, 5, 5, 0, 7, 9] });
  assert.equal(page.run(`__zrk_internals__.makeCallback((v) => v * 2, true)`), 5);
  assert.equal(page.run(`__zrk_internals__.makeCallback(null, false)`), 7);
  assert.deepEqual(page.callbackNames().sort(), ["_5", "_7"]);
  assert.equal(page.run(`_5(21)`), 42);
  assert.equal(page.run(`_7(1)`), null);
  assert.equal(page.run(`_7(1)`), null);
  assert.deepEqual(page.callbackNames(), ["_7"]);
  // Not enumerable, not writable, deletable.
  assert.equal(page.run(`Object.keys(globalThis).includes("_7")`), false);
  assert.throws(() => page.run(`"use strict"; _7 = 1;`), { name: "TypeError" });
  assert.equal(page.run(`delete globalThis._7`), true);
  assert.equal(page.run(`__zrk_internals__.makeCallback(() => 1, false)`), 9);
});

test("a reply for a deleted callback is dropped, with a warning in Debug mode only", async () => {
  for (const debug of [false, true]) {
    const page = new Page({ debug, ids: [21, 22] });
    let answer;
    page.on("plugin:t|t", () => new Promise((resolve) => { answer = resolve; }));
    page.run(`__zrk_internals__.invoke("plugin:t|t", {}).catch(() => {}); delete globalThis._21; delete globalThis._22;`);
    await settle();
    answer(reply.json(1));
    await settle();
    const warnings = page.logs.warn.map((a) => a.join(" "));
    assert.deepEqual(warnings, debug ? ["[ZRK] Could not find callback id in window: 21"] : []);
  }
  // Debug mode also names each once-callback as it goes.
  const page = new Page({ debug: true, ids: [31, 32] });
  page.on("plugin:t|t", reply.json(1));
  await page.run(`__zrk_internals__.invoke("plugin:t|t", {})`);
  assert.deepEqual(page.logs.warn.map((a) => a.join(" ")), ["delete callback: 31"]);
});

test("postMessage delivers to the error callback when the success callback throws", async () => {
  const page = new Page({ ids: [1, 2] });
  page.on("plugin:t|t", reply.json(3));
  page.run(`
    globalThis.seen = [];
    __zrk_internals__.makeCallback((v) => { seen.push(["ok", v]); throw new Error("boom"); }, false);
    __zrk_internals__.makeCallback((e) => { seen.push(["error", e.message]); }, false);
    __zrk_internals__.postMessage({ cmd: "plugin:t|t", callback: 1, error: 2, payload: {} });`);
  await settle();
  sameJson(page.run("seen"), [["ok", 3], ["error", "boom"]]);
});

test("the environment's properties cannot be replaced, and a second set-up throws", async () => {
  const page = new Page();
  const d = page.run(`({
    env: Object.getOwnPropertyDescriptor(globalThis, "__zrk_internals__"),
    base: Object.getOwnPropertyDescriptor(__zrk_internals__, "baseUrl"),
    keys: Object.keys(__zrk_internals__),
    names: Object.getOwnPropertyNames(__zrk_internals__),
    meta: Object.getOwnPropertyNames(__zrk_internals__.metadata),
    ipcFrozen: Object.isFrozen(__zrk_internals__.ipc),
  })`);
  assert.deepEqual([d.env.writable, d.env.enumerable, d.env.configurable], [false, false, false]);
  assert.deepEqual([d.base.value, d.base.writable, d.base.enumerable], [BASE, true, true]);
  sameJson(d.keys, ["baseUrl"]);
  sameJson(d.names, ["baseUrl", "postMessage", "ipc", "buildUrl", "makeCallback", "invoke", "plugins", "metadata"]);
  sameJson(d.meta, ["windows", "dialogs", "webviews"]);
  assert.equal(d.ipcFrozen, true);
  assert.throws(() => page.run(`"use strict"; __zrk_internals__.invoke = null;`), { name: "TypeError" });
  assert.throws(() => page.run(`"use strict"; __zrk_internals__.metadata.windows = [];`), { name: "TypeError" });

  const e = page.run(`try { __init_env__(window); } catch (e) { e }`);
  assert.equal(e.name, "TypeError");
  page.on("plugin:t|t", reply.json("still working"));
  assert.equal(await page.run(`__zrk_internals__.invoke("plugin:t|t", {})`), "still working");
});

test("a worker's global scope gets the transport but no window holders", async () => {
  const page = new Page();
  const worker = page.run(`(() => { const scope = { crypto: globalThis.crypto }; __init_env__(scope); return scope; })()`);
  const names = page.run(`(s) => Object.getOwnPropertyNames(s.__zrk_internals__)`)(worker);
  sameJson(names, ["baseUrl", "postMessage", "ipc", "buildUrl", "makeCallback", "invoke"]);
  page.on("plugin:t|t", reply.json("from the worker"));
  assert.equal(await worker.__zrk_internals__.invoke("plugin:t|t", {}), "from the worker");
});

test("the scripts add only their own globals", () => {
  const blank = new Page({ inject: false });
  const page = new Page();
  const names = (p) => new Set(p.run(`Object.getOwnPropertyNames(globalThis)`));
  const before = names(blank);
  const added = [...names(page)].filter((n) => !before.has(n)).sort();
  assert.deepEqual(added, ["NativeWorker", "Worker", "__ZRK_IIFE__", "__init_env__", "__zrk__", "__zrk_internals__"]);
  const enumerable = [...page.run(`Object.keys(globalThis)`)].filter((n) => !before.has(n)).sort();
  assert.deepEqual(enumerable, ["NativeWorker", "Worker", "__ZRK_IIFE__", "__init_env__", "__zrk__"]);
  // No top-level lexical declarations leak into the page's scope either.
  assert.equal(page.run(`typeof invoke + typeof Channel + typeof ZrkEvent`), "undefinedundefinedundefined");
});
