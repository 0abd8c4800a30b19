// The bridge module's frame: the namespace object, the module's invoke, channels and resources.
import test from "node:test";
import assert from "node:assert/strict";
import { Page, reply, sameJson, settle, rejection } from "./harness.mjs";

test("the namespace object and its frozen, null-prototype namespaces", () => {
  const page = new Page();
  const d = page.run(`({
    keys: Object.keys(__zrk__),
    same: __ZRK_IIFE__ === __zrk__,
    iife: Object.getOwnPropertyDescriptor(globalThis, "__ZRK_IIFE__"),
    zrk: Object.getOwnPropertyDescriptor(globalThis, "__zrk__"),
    spaces: ["event", "menu", "notification", "webview", "window"].map((n) => {
      const ns = __zrk__[n];
      const names = Object.getOwnPropertyNames(ns);
      return { n, frozen: Object.isFrozen(ns), proto: Object.getPrototypeOf(ns), names,
               sorted: names.slice().sort().join() === names.join() };
    }),
  })`);
  sameJson(d.keys, ["event", "initializeWindowTitlebar", "menu", "notification", "webview", "window"]);
  assert.equal(d.same, true);
  // (A global var is non-configurable in a browser; node:vm's global reports it configurable.)
  assert.deepEqual([d.iife.enumerable, d.iife.writable], [true, true]);
  assert.deepEqual([d.zrk.enumerable, d.zrk.writable, d.zrk.configurable], [true, true, true]);
  for (const ns of d.spaces) {
    assert.equal(ns.frozen, true, ns.n);
    assert.equal(ns.proto, null, ns.n);
    assert.equal(ns.sorted, true, ns.n);
  }
  sameJson(d.spaces[0].names, ["ZrkEvent", "emit", "emitTo", "listen", "once"]);
  sameJson(d.spaces[1].names, ["CheckMenuItem", "IconMenuItem", "KeyModifier", "Menu", "MenuItem", "MenuItemBase",
    "NativeIcon", "PopupAlignment", "SeparatorMenuItem", "Submenu", "injectChannel", "itemFromKind", "newMenu"]);
  sameJson(d.spaces[2].names, ["init", "isPermissionGranted", "requestPermission", "sendNotification"]);
  assert.equal(page.run(`__zrk__.initializeWindowTitlebar()`), undefined);
  // Without a document the title bar, its title setters and the mouse forwarding are not set up.
  sameJson(page.run(`Object.keys(__zrk__)`), d.keys);
  // Frozen: no effect in sloppy code, a TypeError in strict code.
  page.run(`__zrk__.event.listen = null;`);
  assert.equal(page.run(`typeof __zrk__.event.listen`), "function");
  assert.throws(() => page.run(`"use strict"; __zrk__.event.listen = null;`), { name: "TypeError" });
});

test("invoke: the default payload and the '@' route to __zrk_msg__", async () => {
  const page = new Page({ expose: true });
  page.run(`globalThis.__zrk_msg__ = { calls: [], invoke(name, payload, options) { this.calls.push({ name, payload, options }); return "msg:" + name; } };`);
  // [command, payload expression, name received, payload received]
  const cases = [
    ["@files", `({ a: 1 })`, "files", { a: 1 }],
    ["@files", `undefined`, "files", {}],
    ["@files:open", `({ a: 1 })`, "files", { action: "open", payload: { a: 1 } }],
    ["@files:open:now", `null`, "files", { action: "open:now", payload: null }],
    ["@files:", `undefined`, "files", { action: "", payload: {} }],
    ["@:open", `({ a: 1 })`, ":open", { a: 1 }],
  ];
  for (const [cmd, payload, name, received] of cases) {
    const result = await page.run(`__zrk__.__test__.invoke(${JSON.stringify(cmd)}, ${payload}, { o: 1 })`);
    assert.equal(result, "msg:" + name, cmd);
    const call = page.run(`__zrk_msg__.calls.pop()`);
    sameJson(call, { name, payload: received, options: { o: 1 } }, cmd);
  }
  assert.equal(page.requests.length, 0);

  page.on("plugin:resource|list", reply.text(""));
  assert.equal(await page.run(`__zrk__.__test__.invoke("plugin:resource|list")`), "");
  assert.equal(page.last.bodyText, "{}");
  await page.run(`__zrk__.__test__.invoke("plugin:resource|list", null)`);
  assert.equal(page.last.bodyText, "null");

  for (const call of [`__zrk__.__test__.invoke(7)`, `(delete globalThis.__zrk_msg__, __zrk__.__test__.invoke("@x"))`]) {
    assert.equal((await rejection(page.run(call))).name, "TypeError", call);
  }
});

test("invokeWithHandler resolves when the native side calls the handler back", async () => {
  const page = new Page({ expose: true, ids: [1, 2, 3, 4, 5, 6] });
  page.on("plugin:menu|popup", reply.json(true));
  const result = page.run(`__zrk__.__test__.invokeWithHandler("plugin:menu|popup", { rid: 3 })`);
  await settle();
  sameJson(page.last.payload, { rid: 3, handler: 1 });
  page.run(`_1("chosen")`);
  assert.equal(await result, "chosen");
  assert.deepEqual(page.callbackNames(), []);

  // A refused command rejects, and its handler is gone.
  page.on("plugin:menu|popup", reply.fail(400, "Could not find the menu with given resourcid id."));
  const e = await rejection(page.run(`__zrk__.__test__.invokeWithHandler("plugin:menu|popup")`));
  assert.equal(e, "Could not find the menu with given resourcid id.");
  sameJson(page.last.payload, { handler: 4 });
  assert.deepEqual(page.callbackNames(), []);
});

// Feeds a channel and returns what reached its handler.
function channelRun(page, feed, { once = false, throwOn = [] } = {}) {
  return page.run(`(() => {
    const ch = new __zrk__.__test__.Channel(${once});
    const got = [];
    const errors = [];
    ch.onmessage = (m) => { got.push(m); if (${JSON.stringify(throwOn)}.includes(m)) throw new Error("handler " + m); };
    for (const id of ${JSON.stringify(feed)}) {
      const fn = globalThis["_" + ch.id];
      if (!fn) { errors.push("gone:" + id); continue; }
      try { fn({ message: typeof id === "number" ? "m" + id : id[1], id: typeof id === "number" ? id : id[0] }); }
      catch (e) { errors.push(e.message); }
    }
    return { got, errors };
  })()`);
}

test("channels deliver ordered messages in order", () => {
  const upTo = (n) => Array.from({ length: n }, (_, i) => i);
  // [name, ids fed (a number id n carries "m<n>"; [id, message] pairs carry their own), expected deliveries, expected errors]
  const cases = [
    ["in order", [0, 1, 2], ["m0", "m1", "m2"], []],
    ["out of order", [1, 2, 0], ["m0", "m1", "m2"], []],
    ["across one and two digits", [...upTo(8), 10, 9, 8, 11], [...upTo(12).map((i) => "m" + i)], []],
    ["unordered at once", [1, -1, 4294967295, 0], ["m-1", "m4294967295", "m0", "m1"], []],
    ["a repeated id replaces the stored one", [[1, "first"], [1, "second"], 0], ["m0", "second"], []],
    ["a stale id is dropped and blocks nothing", [0, 1, 0, 2, 3], ["m0", "m1", "m2", "m3"], []],
    ["a gap holds the rest back", [0, 2, 3], ["m0"], []],
  ];
  for (const [name, feed, expected, errors] of cases) {
    const page = new Page({ expose: true });
    const r = channelRun(page, feed);
    sameJson(r, { got: expected, errors }, name);
  }
});

test("a handler that throws loses no message", () => {
  const page = new Page({ expose: true });
  // 1 and 2 wait for 0; the handler throws at m1: m2 still arrives, and 3 follows normally.
  const r = channelRun(page, [1, 2, 0, 3], { throwOn: ["m1"] });
  sameJson(r, { got: ["m0", "m1", "m2", "m3"], errors: ["handler m1"] });
  // A handler that is no function throws for each message; the order still moves on.
  const page2 = new Page({ expose: true });
  const r2 = page2.run(`(() => {
    const ch = new __zrk__.__test__.Channel();
    ch.onmessage = 42;
    const errors = [];
    for (const id of [0, 1]) { try { globalThis["_" + ch.id]({ message: id, id }); } catch (e) { errors.push(e.name); } }
    const got = [];
    ch.onmessage = (m) => got.push(m);
    globalThis["_" + ch.id]({ message: 2, id: 2 });
    return { errors, got };
  })()`);
  sameJson(r2, { errors: ["TypeError", "TypeError"], got: [2] });
});

test("one-shot channels, malformed messages and the channel's JSON form", () => {
  const cases = [
    [[0, 1], ["m0"], ["gone:1"]],
    [[-1, 0], ["m-1"], ["gone:0"]],
    [[1, 0], [], ["gone:0"]],
  ];
  for (const [feed, got, errors] of cases) {
    sameJson(channelRun(new Page({ expose: true }), feed, { once: true }), { got, errors }, JSON.stringify(feed));
  }
  const page = new Page({ expose: true, ids: [77] });
  const d = page.run(`(() => {
    const ch = new __zrk__.__test__.Channel();
    const errors = [];
    for (const bad of [undefined, null, {}, { id: null, message: 1 }]) {
      try { globalThis["_" + ch.id](bad); } catch (e) { errors.push(e.name); }
    }
    let calls = 0;
    ch.onmessage = () => ++calls;
    return { errors, calls, keys: Object.keys(ch), json: JSON.stringify({ handler: ch }), id: ch.id };
  })()`);
  sameJson(d, { errors: ["TypeError", "TypeError", "TypeError", "TypeError"], calls: 0,
                keys: ["__zrk_channel_marker__", "id"], json: '{"handler":"__channel__:77"}', id: 77 });
});

test("private state: the exact errors for objects the class never initialised", () => {
  const page = new Page({ expose: true });
  const errors = page.run(`(() => {
    const { Channel, Resource } = __zrk__.__test__;
    const onmessage = Object.getOwnPropertyDescriptor(Channel.prototype, "onmessage");
    const rid = Object.getOwnPropertyDescriptor(Resource.prototype, "rid");
    const out = [];
    for (const f of [() => onmessage.get.call({}), () => onmessage.set.call({}, () => 1),
                     () => rid.get.call(Object.create(Resource.prototype)), () => onmessage.get.call(7)]) {
      try { f(); out.push("no error"); } catch (e) { out.push(e.constructor.name + ": " + e.message); }
    }
    return out;
  })()`);
  sameJson(errors, [
    "TypeError: Cannot read private member from an object whose class did not declare it",
    "TypeError: Cannot write private member to an object whose class did not declare it",
    "TypeError: Cannot read private member from an object whose class did not declare it",
    "TypeError: Cannot read private member from an object whose class did not declare it",
  ]);
  // Private fields are no properties.
  sameJson(page.run(`(() => { const r = new __zrk__.__test__.Resource(4); return [Object.keys(r), JSON.stringify(r), "rid" in r]; })()`),
           [[], "{}", true]);
});

test("resources close and list through the resource plugin", async () => {
  const page = new Page({ expose: true });
  const held = new Set([4]);
  page.on("plugin:resource|close", (p) => (typeof p.rid !== "number" ? reply.fail(400, "Invalid resource id") : reply.json(held.delete(Math.trunc(p.rid)))));
  page.on("plugin:resource|list", reply.text(""));
  page.run(`globalThis.res = new __zrk__.__test__.Resource(4); class Sub extends __zrk__.__test__.Resource {}; globalThis.Sub = Sub;`);
  assert.equal(await page.run(`res.close()`), true);
  sameJson(page.last.payload, { rid: 4 });
  assert.equal(await page.run(`res.close()`), false);
  assert.equal(page.run(`res.rid`), 4);
  assert.equal(await page.run(`Sub.list()`), "");
  assert.equal(page.last.command, "plugin:resource|list");
  sameJson(page.last.payload, {});
  assert.equal(await rejection(page.run(`new __zrk__.__test__.Resource().close()`)), "Invalid resource id");
  sameJson(page.last.payload, {});
  // rid has no setter.
  page.run(`res.rid = 9;`);
  assert.equal(page.run(`res.rid`), 4);
  assert.throws(() => page.run(`"use strict"; res.rid = 9;`), { name: "TypeError" });
});
