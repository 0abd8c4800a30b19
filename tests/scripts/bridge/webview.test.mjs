// The Webview class and the colour value.
import test from "node:test";
import assert from "node:assert/strict";
import { Page, reply, sameJson, settle, rejection } from "./harness.mjs";

// The webview plugin's checks that every command goes through.
function webviewPage() {
  const page = new Page({ expose: true });
  page.run(`
    __zrk_internals__.metadata.windows.push({ label: "main" }, { label: "tools" });
    __zrk_internals__.metadata.webviews.push({ label: "v1", windowLabel: "main" }, { label: "v2", windowLabel: "tools" },
                                             { label: "v3", windowLabel: "gone" });
    __zrk_internals__.metadata.currentWindow = { label: "main" };
    __zrk_internals__.metadata.currentWebview = { label: "v1" };
    globalThis.main = new __zrk__.window.Window("main", { skip: true });
    globalThis.got = [];
  `);
  const guarded = (answer) => (p, r) => {
    if (typeof p.windowLabel !== "string" || !p.windowLabel) return reply.fail(400, "Parent window not specified.");
    if (p.windowLabel !== "main") return reply.fail(400, "Window not found.");
    return typeof answer === "function" ? answer(p, r) : answer;
  };
  page.onWebview = (command, answer) => page.on(`plugin:webview|${command}`, guarded(answer));
  page.onWebview("create", (p) => reply.json(p.label || "webview_1"));
  return page;
}

test("a new Webview asks for the native webview and reports the outcome", async () => {
  const page = webviewPage();
  page.run(`globalThis.v = new __zrk__.webview.Webview(main, "");
            v.listen("zrk://created", (e) => got.push(["created", e.event, e.id, e.payload]));
            v.listen("zrk://error", (e) => got.push(["error", e.payload]));`);
  assert.equal(page.run(`v.label`), "");
  await settle();
  sameJson(page.last.payload, { windowLabel: "main", label: "" });
  assert.equal(page.run(`v.label`), "webview_1");
  sameJson(page.run(`got.splice(0)`), [["created", "zrk://created", -1, { label: "webview_1" }]]);

  page.run(`new __zrk__.webview.Webview(main, "w", { url: "a.html", skip: false })`);
  await settle();
  sameJson(page.last.payload, { windowLabel: "main", label: "w", options: { url: "a.html", skip: false } });

  // A refusal, and a "zrk://created" handler that throws, both arrive as "zrk://error".
  page.run(`globalThis.bad = new __zrk__.webview.Webview(new __zrk__.window.Window("tools", { skip: true }), "x");
            bad.listen("zrk://error", (e) => got.push(["error", e.payload]));
            globalThis.thrower = new __zrk__.webview.Webview(main, "y");
            thrower.listen("zrk://created", () => { throw new Error("boom"); });
            thrower.listen("zrk://created", () => got.push(["not reached"]));
            thrower.listen("zrk://error", (e) => got.push(["error", e.payload.message]));`);
  await settle();
  sameJson(page.run(`got.splice(0)`), [["error", "Window not found."], ["error", "boom"]]);
  const sent = page.requests.length;
  page.run(`new __zrk__.webview.Webview(null, "z", { skip: true })`);
  assert.throws(() => page.run(`new __zrk__.webview.Webview(null, "z")`), { name: "TypeError" });
  assert.equal(page.requests.length, sent);
});

test("page-local webview events: one-shot once, removers that act once, emitTo also native", async () => {
  const page = webviewPage();
  page.on("plugin:event|emit_to", reply.json(1));
  page.on("plugin:event|listen", reply.json(4));
  page.run(`globalThis.v = new __zrk__.webview.Webview(main, "v1", { skip: true });
            globalThis.h = (e) => got.push("h:" + e.payload);`);
  await page.run(`v.once("zrk://created", h)`);
  await page.run(`v.emit("zrk://created", 1)`);
  await page.run(`v.emit("zrk://created", 2)`);
  sameJson(page.run(`got.splice(0)`), ["h:1"]);

  const first = await page.run(`v.listen("zrk://error", h)`);
  await page.run(`v.listen("zrk://error", h)`);
  await first();
  await first();
  await page.run(`v.emitTo("main", "zrk://error", 3)`);
  sameJson(page.run(`got.splice(0)`), ["h:3"]);
  assert.equal(page.last.command, "plugin:event|emit_to");
  sameJson(page.last.payload, { target: { kind: "AnyLabel", label: "main" }, event: "zrk://error", payload: 3 });

  await page.run(`v.listen("zrk://webview-closed", h)`);
  sameJson(page.last.payload.target, { kind: "Webview", label: "v1" });
  assert.equal(page.requests.some((r) => r.command === "plugin:event|emit"), false);
});

test("webview commands carry both labels first and convert their replies", async () => {
  const page = webviewPage();
  page.onWebview("get_position", reply.json({ x: 3, y: 4 }));
  page.onWebview("get_size", reply.json({ height: 600, width: 800 }));
  page.onWebview("set_size", reply.raw(200, "text/plain", "", "OK"));
  page.onWebview("get_background_color", reply.json(16777215));
  page.onWebview("close", reply.json(true));
  page.run(`globalThis.v = new __zrk__.webview.Webview(main, "v1", { skip: true });`);
  sameJson(await page.run(`v.position()`), { type: "Physical", x: 3, y: 4 });
  assert.equal(JSON.stringify(Object.keys(page.last.payload)), '["label","windowLabel"]');
  sameJson(await page.run(`v.size()`), { type: "Physical", width: 800, height: 600 });
  assert.equal(await page.run(`v.setSize({ type: "Logical", width: 800, height: 600, extra: 1 })`), "");
  sameJson(page.last.payload, { label: "v1", windowLabel: "main", value: { Logical: { width: 800, height: 600 } } });
  sameJson(await page.run(`v.getBackgroundColor()`), { _r: 255, _g: 255, _b: 255, _a: 0 });

  assert.equal((await rejection(page.run(`v.setSize({ width: 1 })`))).message, "invalid size. must be a LogicalSize or a Physical instance");
  assert.equal((await rejection(page.run(`v.setPosition(null)`))).message,
               "invalid position value. must be a LogicalPosition or a PhysicalPosition instance");
  assert.equal(await rejection(page.run(`new __zrk__.webview.Webview(null, "v1", { skip: true }).close()`)), "Parent window not specified.");
});

test("setBackgroundColor packs the colour into a signed argb number", async () => {
  const page = webviewPage();
  page.onWebview("set_background_color", reply.raw(200, "text/plain", "", "OK"));
  page.run(`globalThis.v = new __zrk__.webview.Webview(main, "v1", { skip: true });`);
  // [arguments, argb sent]
  const cases = [
    [`255, 255, 255`, -1],
    [``, -16711681],
    [`{ r: 10, g: 20, b: 30 }`, 660510],
    [`{ r: 10, g: 20, b: 30, a: 1 }`, -16116706],
    [`1, 2, 3, 0.5`, -2147417597],
    [`new __zrk__.__test__.Color(255, 0, 0)`, -65536],
  ];
  for (const [args, argb] of cases) {
    await page.run(`v.setBackgroundColor(${args})`);
    assert.equal(page.last.payload.argb, argb, args);
  }
  assert.equal((await rejection(page.run(`v.setBackgroundColor(null)`))).name, "TypeError");
});

test("Color clamps its channels and packs them in both byte orders", () => {
  const page = webviewPage();
  // [constructor arguments, [r, g, b, a] stored, argb, abgr]
  const cases = [
    [``, [0, 0, 0, 1], -16777216, -16777216],
    [`0`, [0, 0, 0, 1], -16777216, -16777216],
    [`undefined, undefined, undefined, 0.2`, [0, 0, 0, 1], -16777216, -16777216],
    [`255, 0, 0`, [255, 0, 0, 1], -65536, -16776961],
    [`0x12, 0x34, 0x56, 0.5`, [18, 52, 86, 0.5], 0x80123456 | 0, 0x80563412 | 0],
    [`300, -5, 12.7`, [255, 0, 12.7, 1], -65524, -15990529],
    [`1, 2, 3, NaN`, [1, 2, 3, NaN], 66051, 197121],
    [`0, 0, 0, 0.001`, [0, 0, 0, 0.001], 1 << 24, 1 << 24],
    [`0, 0, 0, 2`, [0, 0, 0, 1], -16777216, -16777216],
    [`0, 0, 0, -1`, [0, 0, 0, 0], 0, 0],
    [`"7", null, 1`, [7, 0, 1, 1], 0xff070001 | 0, 0xff010007 | 0],
  ];
  for (const [args, stored, argb, abgr] of cases) {
    const r = page.run(`(() => { const c = new __zrk__.__test__.Color(${args}); return [[c.r, c.g, c.b, c.a].map(String), Object.keys(c), c.argb, c.abgr]; })()`);
    sameJson(r, [stored.map(String), ["_r", "_g", "_b", "_a"], argb, abgr], args);
  }
  // Every alpha byte survives the trip through a background colour reply.
  const roundTrip = page.run(`(() => { const bad = [];
    for (let byte = 0; byte < 256; ++byte) { const c = new __zrk__.__test__.Color(1, 2, 3, byte / 255); if ((c.argb >>> 24) !== byte) bad.push(byte); }
    return bad; })()`);
  sameJson(roundTrip, []);
  sameJson(page.run(`(() => { const c = new __zrk__.__test__.Color(1, 2, 3); c.r = undefined; c.g = 999; c.a = 0.5; return [String(c.r), c.g, c.a, c.argb]; })()`),
           ["NaN", 255, 0.5, (128 << 24) | (255 << 8) | 3]);
});

test("webview lookups read the page's metadata", () => {
  const page = webviewPage();
  const d = page.run(`(() => {
    const ns = __zrk__.webview;
    const W = ns.Webview;
    const desc = (v) => v && [v.label, v.window && v.window.label];
    return {
      current: desc(ns.getCurrent()), staticCurrent: desc(W.getCurrent()), fresh: ns.getCurrent() !== ns.getCurrent(),
      all: ns.getAll("main").map(desc), onlyMain: W.getAll("main").map(desc), allStatic: W.getAll().length,
      byLabel: desc(W.getByLabel("tools", "v2")), wrongWindow: W.getByLabel("main", "v2"), orphan: desc(W.getByLabel(undefined, "v3")),
      mask: [ns.AutoResizingMask.HeightResizable, ns.AutoResizingMask[18], ns.AutoResizingMask["16"], ns.AutoResizingMask === ns.AutoResizingMask],
    };
  })()`);
  sameJson(d, {
    current: ["v1", "main"], staticCurrent: ["v1", "main"], fresh: true,
    all: [["v1", "main"], ["v2", "tools"], ["v3", null]], onlyMain: [["v1", "main"]], allStatic: 3,
    byLabel: ["v2", "tools"], wrongWindow: null, orphan: ["v3", null],
    mask: [16, undefined, "HeightResizable", true],
  });
});
