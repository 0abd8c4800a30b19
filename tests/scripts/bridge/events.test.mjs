// The events namespace: listen, once, emit, emitTo and their unlisten functions.
import test from "node:test";
import assert from "node:assert/strict";
import { Page, reply, sameJson, settle, rejection } from "./harness.mjs";

// A fake of the event plugin: listener ids start at 1 and freed ids are handed out again first,
// as the native registry does.
function eventPlugin(page) {
  const state = { next: 1, free: [], live: new Map() };
  page.on("plugin:event|listen", (p) => {
    if (typeof p.event !== "string" || !p.event || !p.target || (typeof p.target === "object" && !Object.keys(p.target).length) || !p.handler) {
      return reply.fail(400, "Missing parameter");
    }
    const id = state.free.length ? state.free.shift() : state.next++;
    state.live.set(id, p);
    return reply.json(id);
  });
  page.on("plugin:event|unlisten", (p) => {
    if (typeof p.event !== "string" || !p.event || !p.eventId) return reply.json(0);
    if (state.live.delete(p.eventId)) state.free.push(p.eventId);
    return reply.json(1);
  });
  const emitting = (p) => (typeof p.event !== "string" || !p.event ? reply.fail(400, "missing event.") : reply.json(1));
  page.on("plugin:event|emit", emitting);
  page.on("plugin:event|emit_to", emitting);
  // Calls a live listener's page function as the native window route does.
  state.deliver = (id, event, payload) => {
    const item = state.live.get(id);
    const record = payload === undefined ? { event, id } : { event, id, payload };
    return page.run(`(r) => globalThis["_" + ${item.handler}](JSON.parse(r))`)(JSON.stringify(record));
  };
  return state;
}

test("listen sends the target record that its options give", async () => {
  // [options expression, target sent]
  const cases = [
    [`undefined`, { kind: "Any" }],
    [`null`, { kind: "Any" }],
    [`{}`, { kind: "Any" }],
    [`{ target: null }`, { kind: "Any" }],
    [`{ target: "main" }`, { kind: "AnyLabel", label: "main" }],
    [`{ target: "" }`, { kind: "AnyLabel", label: "" }],
    [`{ target: { kind: "Window", label: "main" } }`, { kind: "Window", label: "main" }],
  ];
  for (const [options, target] of cases) {
    const page = new Page({ ids: [500, 501, 502] });
    eventPlugin(page);
    const unlisten = await page.run(`__zrk__.event.listen("zrk://focus", () => {}, ${options})`);
    assert.equal(typeof unlisten, "function");
    assert.equal(page.last.command, "plugin:event|listen");
    sameJson(page.last.payload, { event: "zrk://focus", target, handler: 500 }, options);
    assert.equal(JSON.stringify(Object.keys(page.last.payload)), '["event","target","handler"]');
  }
});

test("refused registrations reject with the native message", async () => {
  for (const call of [`__zrk__.event.listen("x", () => {}, { target: {} })`, `__zrk__.event.listen("", () => {})`]) {
    const page = new Page();
    eventPlugin(page);
    assert.equal(await rejection(page.run(call)), "Missing parameter", call);
  }
});

test("an unlisten function removes its own listener once, never a reused id", async () => {
  const page = new Page();
  const plugin = eventPlugin(page);
  page.run(`globalThis.got = [];`);
  const unA = await page.run(`__zrk__.event.listen("e", (ev) => got.push("a:" + ev.id))`);
  assert.equal(page.last.payload.handler > 0, true);
  assert.equal(await unA(), undefined);
  sameJson(page.last.payload, { event: "e", eventId: 1 });
  // The freed id 1 goes to the next listener; calling A's unlisten again must not remove it.
  await page.run(`__zrk__.event.listen("e", (ev) => got.push("b:" + ev.id))`);
  const sent = page.requests.length;
  await Promise.all([unA(), unA()]);
  assert.equal(page.requests.length, sent);
  assert.deepEqual([...plugin.live.keys()], [1]);
  plugin.deliver(1, "e", null);
  sameJson(page.run("got"), ["b:1"]);

  // A request that failed may be sent again.
  const unC = await page.run(`__zrk__.event.listen("f", () => {})`);
  page.on("plugin:event|unlisten", reply.fail(500, "down"));
  assert.equal(await rejection(unC()), "down");
  page.on("plugin:event|unlisten", reply.json(1));
  await unC();
  sameJson(page.last.payload, { event: "f", eventId: 2 });
});

test("once runs its handler once and removes the listener, also when the handler throws", async () => {
  for (const throws of [false, true]) {
    const page = new Page();
    const plugin = eventPlugin(page);
    page.run(`globalThis.got = [];`);
    const unlisten = await page.run(`__zrk__.event.once("zrk://window-created", (ev) => { got.push(ev.payload.label); if (${throws}) throw new Error("x"); }, { target: "main" })`);
    const id = [...plugin.live.keys()][0];
    if (throws) assert.throws(() => plugin.deliver(id, "renamed-by-native", { label: "w1" }), /x/);
    else plugin.deliver(id, "renamed-by-native", { label: "w1" });
    // A delivery that races the removal does not reach the handler again.
    plugin.deliver(id, "zrk://window-created", { label: "w2" });
    await settle();
    sameJson(page.run("got"), ["w1"]);
    const unlistens = page.requests.filter((r) => r.command === "plugin:event|unlisten");
    // Removed under the name given to once, not the event field of the delivery.
    sameJson(unlistens.map((r) => r.payload), [{ event: "zrk://window-created", eventId: id }]);
    assert.equal(plugin.live.size, 0);
    // Its unlisten function has nothing left to do.
    await unlisten();
    assert.equal(page.requests.filter((r) => r.command === "plugin:event|unlisten").length, 1);
  }
});

test("emit and emitTo send their payloads", async () => {
  const page = new Page();
  eventPlugin(page);
  // [call, command, payload as the native side reads it]
  const cases = [
    [`emit("hello", { a: 1 })`, "plugin:event|emit", { event: "hello", payload: { a: 1 } }],
    [`emit("hello")`, "plugin:event|emit", { event: "hello" }],
    [`emitTo("main", "hello", [1])`, "plugin:event|emit_to", { target: { kind: "AnyLabel", label: "main" }, event: "hello", payload: [1] }],
    [`emitTo({ kind: "Webview", label: "v" }, "hello", 0)`, "plugin:event|emit_to", { target: { kind: "Webview", label: "v" }, event: "hello", payload: 0 }],
    [`emitTo(undefined, "hello", "p")`, "plugin:event|emit_to", { event: "hello", payload: "p" }],
  ];
  for (const [call, command, payload] of cases) {
    assert.equal(await page.run(`__zrk__.event.${call}`), undefined, call);
    assert.equal(page.last.command, command, call);
    sameJson(page.last.payload, payload, call);
  }
  assert.equal(await rejection(page.run(`__zrk__.event.emit("")`)), "missing event.");
  assert.equal(await rejection(page.run(`__zrk__.event.emitTo("main", 5)`)), "missing event.");
});

test("ZrkEvent is one shared, changeable table of the 19 names", () => {
  const page = new Page();
  const d = page.run(`({ n: Object.keys(__zrk__.event.ZrkEvent).length, resized: __zrk__.event.ZrkEvent.WINDOW_RESIZED,
                         frozen: Object.isFrozen(__zrk__.event.ZrkEvent) })`);
  sameJson(d, { n: 19, resized: "zrk://resize", frozen: false });
  page.run(`__zrk__.event.ZrkEvent.WINDOW_RESIZED = "custom"`);
  assert.equal(page.run(`__zrk__.event.ZrkEvent.WINDOW_RESIZED`), "custom");
});
