// The Window class: creation, page-local events, geometry checks, event shortcuts, lookups and the
// mouse forwarding of windows without a title bar.
import test from "node:test";
import assert from "node:assert/strict";
import { Page, reply, sameJson, settle, rejection, fakeDocument } from "./harness.mjs";

const MONITOR = (scaleFactor) => ({ name: "d", size: { width: 1920, height: 1080 }, position: { x: 0, y: 0 }, scaleFactor });

function windowPage(options = {}) {
  const page = new Page(options);
  page.run(`
    __zrk_internals__.metadata.windows.push({ label: "main" }, { label: "tools", parent: "main" });
    __zrk_internals__.metadata.currentWindow = { label: "main" };
  `);
  let nextListener = 1;
  page.on("plugin:event|listen", () => reply.json(nextListener++));
  page.on("plugin:event|unlisten", reply.json(1));
  return page;
}

const commands = (page, name) => page.requests.filter((r) => r.command === name);

test("create scales the options and takes the label the native side gives", async () => {
  // [options, monitor reply (per command), devicePixelRatio, expected options sent, monitor command]
  const cases = [
    [{ url: "viewer.html", width: 800, height: 600 }, MONITOR(1.5), undefined,
     { url: "viewer.html", width: 1200, height: 900 }, "plugin:window|primary_monitor"],
    [{ x: 100, y: 0, width: 10 }, MONITOR(1.5), undefined, { x: 150, y: 0, width: 15 }, "plugin:window|monitor_from_point"],
    [{ minWidth: 10, maxHeight: 20.5, height: "" }, null, 2, { minWidth: 20, maxHeight: 41, height: "" }, "plugin:window|primary_monitor"],
    [{ width: 10 }, null, 0, { width: 10 }, "plugin:window|primary_monitor"],
  ];
  for (const [options, monitor, dpr, sent, monitorCommand] of cases) {
    const page = windowPage();
    if (dpr !== undefined) page.run(`globalThis.devicePixelRatio = ${dpr}`);
    page.on("plugin:window|primary_monitor", reply.json(monitor));
    page.on("plugin:window|monitor_from_point", reply.json(monitor));
    page.on("plugin:window|create", (p) => reply.json(p.label));
    page.run(`globalThis.w = new __zrk__.window.Window("viewer", ${JSON.stringify(options)}); globalThis.seen = [];
              w.listen("zrk://created", (e) => seen.push(e));`);
    assert.equal(await page.run(`w.create()`), true);
    await settle();
    const label = JSON.stringify(options);
    assert.equal(page.requests[0].command, monitorCommand, label);
    if (monitorCommand.endsWith("from_point")) sameJson(page.requests[0].payload, { x: options.x, y: options.y });
    // The one-shot creation listener is registered before the create request goes out.
    assert.deepEqual(page.requests.slice(1).map((r) => r.command), ["plugin:event|listen", "plugin:window|create"], label);
    sameJson(commands(page, "plugin:event|listen")[0].payload.target, { kind: "Window", label: "viewer" });
    sameJson(commands(page, "plugin:window|create")[0].payload, { options: sent, label: "viewer" }, label);
    sameJson(page.run(`[w.label, w._created, w._options, seen.map((e) => [e.event, e.id, "payload" in e, e.payload])]`),
             ["viewer", true, null, [["zrk://created", -1, true, null]]], label);
  }
});

test("create: a generated label, a parent window, and no second request", async () => {
  const page = windowPage();
  page.on("plugin:window|primary_monitor", reply.json(MONITOR(1)));
  page.on("plugin:window|create", reply.json("window_7"));
  page.run(`globalThis.w = new __zrk__.window.Window("main", { parent: new __zrk__.window.Window("owner", { skip: true }) });`);
  assert.equal(await page.run(`w.create()`), true);
  assert.equal(page.run(`w.label`), "window_7");
  const sent = commands(page, "plugin:window|create")[0].payload;
  assert.equal(sent.parent, "owner");
  sameJson(sent.options.parent, { _options: null, _created: false, label: "owner", listeners: {} });
  const count = page.requests.length;
  assert.equal(await page.run(`w.create()`), true);
  assert.equal(page.requests.length, count);
});

test("a refused create reports the error, resolves false and may be retried", async () => {
  const page = windowPage();
  page.on("plugin:window|primary_monitor", reply.json(MONITOR(2)));
  page.on("plugin:window|create", reply.fail(400, "failed to create window"));
  page.run(`globalThis.w = new __zrk__.window.Window("w", { width: 100 }); globalThis.errors = [];
            w.listen("zrk://error", (e) => errors.push(e.payload));`);
  assert.equal(await page.run(`w.create()`), false);
  await settle();
  sameJson(page.run(`[errors, w.label, w._created, w._options]`), [["failed to create window"], "w", false, { width: 100 }]);
  // The one-shot listener of the failed attempt is gone.
  sameJson(commands(page, "plugin:event|unlisten").map((r) => r.payload), [{ event: "zrk://window-created", eventId: 1 }]);

  page.on("plugin:window|create", (p) => reply.json(p.label));
  assert.equal(await page.run(`w.create()`), true);
  const creates = commands(page, "plugin:window|create");
  assert.equal(creates.length, 2);
  // The retry scales the options the page gave, not the scaled ones.
  sameJson(creates[1].payload.options, { width: 200 });

  // An error handler that throws rejects create; a failed monitor query sends nothing.
  const page2 = windowPage();
  page2.on("plugin:window|primary_monitor", reply.json(MONITOR(1)));
  page2.on("plugin:window|create", reply.fail(400, "failed to create window"));
  page2.run(`globalThis.w = new __zrk__.window.Window("w"); w.listen("zrk://error", () => { throw new Error("handler"); });`);
  assert.equal((await rejection(page2.run(`w.create()`))).message, "handler");
  const page3 = windowPage();
  page3.on("plugin:window|primary_monitor", reply.fail(500, "Internal error: x"));
  assert.equal(await rejection(page3.run(`new __zrk__.window.Window("w").create()`)), "Internal error: x");
  assert.equal(commands(page3, "plugin:window|create").length, 0);
});

test("the creation listener goes once it has fired", async () => {
  const page = windowPage();
  page.on("plugin:window|primary_monitor", reply.json(MONITOR(1)));
  page.on("plugin:window|create", reply.json("w"));
  await page.run(`new __zrk__.window.Window("w").create()`);
  const handler = commands(page, "plugin:event|listen")[0].payload.handler;
  page.run(`_${handler}({ event: "zrk://window-created", id: 1, payload: { label: "w" } })`);
  await settle();
  sameJson(page.run(`lastE`), { event: "zrk://window-created", id: 1, payload: { label: "w" } });
  sameJson(commands(page, "plugin:event|unlisten").map((r) => r.payload), [{ event: "zrk://window-created", eventId: 1 }]);
});

test("page-local events stay in the object; other names go to the event plugin", async () => {
  const page = windowPage();
  page.on("plugin:window|show", () => new Promise(() => {}));
  page.on("plugin:window|hide", reply.json(true));
  page.run(`globalThis.w = new __zrk__.window.Window("main", { skip: true }); globalThis.got = [];
            globalThis.a = (e) => got.push("a:" + e.event); globalThis.b = (e) => got.push("b:" + e.event);`);
  const unA = await page.run(`w.listen("zrk://show", a)`);
  await page.run(`w.listen("zrk://show", b)`);
  await page.run(`w.listen("zrk://show", a)`);
  assert.equal(page.logs.log.length, 3);
  // show runs the handlers during the call, before any reply.
  page.run(`w.show()`);
  sameJson(page.run(`got.splice(0)`), ["a:zrk://show", "b:zrk://show", "a:zrk://show"]);
  await unA();
  await unA();
  page.run(`w.show()`);
  sameJson(page.run(`got.splice(0)`), ["b:zrk://show", "a:zrk://show"]);

  // once: one call, also when the handler throws; its unlisten after the call does nothing.
  const unOnce = await page.run(`w.once("zrk://hide", (e) => { got.push("once"); throw new Error("x"); })`);
  await page.run(`w.hide()`);
  await page.run(`w.hide()`);
  await unOnce();
  sameJson(page.run(`got.splice(0)`), ["once"]);
  const unEarly = await page.run(`w.once("zrk://hide", () => got.push("never"))`);
  await unEarly();
  await page.run(`w.hide()`);
  sameJson(page.run(`got.splice(0)`), []);

  await page.run(`w.emitTo("anyone", "zrk://error", 1)`);
  assert.equal(page.requests.filter((r) => r.command.startsWith("plugin:event")).length, 0);

  await page.run(`w.listen("zrk://resize", () => {})`);
  sameJson(page.last.payload.target, { kind: "Window", label: "main" });
  page.on("plugin:event|emit", reply.json(1));
  await page.run(`w.emit("zrk://resize", { width: 1 })`);
  assert.equal(page.last.command, "plugin:event|emit");
  sameJson(page.last.payload, { event: "zrk://resize", payload: { width: 1 } });
});

test("sizes and positions are checked before anything is sent", async () => {
  const page = windowPage();
  page.run(`globalThis.w = new __zrk__.window.Window("main", { skip: true });`);
  const SIZE = "invalid size. must be a LogicalSize or a Physical instance";
  const MOVE_SIZE = "invalid size. must be a LogicalSize or a PhysicalSize instance";
  const POS = "invalid position. must be a LogicalPosition or a Physical instance";
  const cases = [
    [`w.setSize(null)`, SIZE],
    [`w.setSize({ width: 1, height: 2 })`, SIZE],
    [`w.setSize({ type: "logical", width: 1, height: 2 })`, SIZE],
    [`w.move()`, MOVE_SIZE],
    [`w.move(null, { type: "Physical" })`, "invalid pos. must be a LogicalPosition or a PhysicalPosition instance"],
    [`w.setMinSize({ type: "logical", width: 1 })`, SIZE],
    [`w.setMaxSize(0)`, SIZE],
    [`w.setPosition({ x: 1, y: 2 })`, POS],
    [`w.setCursorPosition(undefined)`, POS],
  ];
  for (const [call, message] of cases) {
    const e = await rejection(page.run(call));
    assert.equal(e.name, "Error", call);
    assert.equal(e.message, message, call);
  }
  assert.equal(page.requests.length, 0);
});

test("setSize around the centre moves the window in one step", async () => {
  const page = windowPage();
  page.on("plugin:window|outer_position", reply.json({ x: 100, y: 100 }));
  page.on("plugin:window|outer_size", reply.json({ width: 1000, height: 800 }));
  page.on("plugin:window|move", reply.json(true));
  page.run(`globalThis.w = new __zrk__.window.Window("main", { skip: true }); globalThis.devicePixelRatio = 2;`);
  assert.equal(await page.run(`w.setSize({ type: "Physical", width: 800, height: 600 }, true)`), true);
  sameJson(page.requests.map((r) => r.command), ["plugin:window|outer_position", "plugin:window|outer_size", "plugin:window|move"]);
  sameJson(page.last.payload, { label: "main", pos: { type: "Physical", x: 200, y: 200 },
                                size: { type: "Physical", width: 800, height: 600 }, animated: true });
  // A logical size is scaled by the page's pixel ratio first.
  await page.run(`w.setSize({ type: "Logical", width: 100, height: 50 }, true, false)`);
  sameJson(page.last.payload, { label: "main", pos: { type: "Physical", x: 500, y: 450 },
                                size: { type: "Physical", width: 200, height: 100 }, animated: false });
});

test("event shortcuts convert their payloads", async () => {
  const page = windowPage();
  page.on("plugin:window|destroy", reply.json(true));
  page.run(`globalThis.w = new __zrk__.window.Window("main", { skip: true }); globalThis.got = [];`);
  await page.run(`w.onResized((e) => got.push(["resized", e.payload.constructor.name, e.payload]))`);
  await page.run(`w.onMoved((e) => got.push(["moved", e.payload.constructor.name, e.payload]))`);
  const stopFocus = await page.run(`w.onFocusChanged((e) => got.push([e.event, e.payload]))`);
  const listens = commands(page, "plugin:event|listen").map((r) => [r.payload.event, r.payload.handler]);
  sameJson(listens.map((l) => l[0]), ["zrk://resize", "zrk://move", "zrk://focus", "zrk://blur"]);
  const fire = (i, record) => page.run(`(r) => globalThis["_" + ${listens[i][1]}](JSON.parse(r))`)(JSON.stringify(record));
  fire(0, { event: "zrk://resize", id: 1, payload: { width: 640, height: 480 } });
  fire(1, { event: "zrk://move", id: 2, payload: { x: -5, y: 9 } });
  fire(2, { event: "zrk://focus", id: 3 });
  fire(3, { event: "zrk://blur", id: 4, payload: "ignored" });
  sameJson(page.run(`got.splice(0)`), [
    ["resized", "PhysicalSize", { type: "Physical", width: 640, height: 480 }],
    ["moved", "PhysicalPosition", { type: "Physical", x: -5, y: 9 }],
    ["zrk://focus", true],
    ["zrk://blur", false],
  ]);
  await stopFocus();
  sameJson(commands(page, "plugin:event|unlisten").map((r) => r.payload), [{ event: "zrk://focus", eventId: 3 }, { event: "zrk://blur", eventId: 4 }]);
});

test("onWillClose destroys the window unless the handler prevents it", async () => {
  // [handler source, whether "destroy" is sent]
  const cases = [
    [`() => {}`, true],
    [`(e) => e.preventDefault()`, false],
    [`(e) => new Promise((r) => setTimeout(r, 20))`, true],
    [`(e) => new Promise((r) => setTimeout(() => { e.preventDefault(); r(); }, 20))`, false],
    [`() => Promise.reject(new Error("no"))`, false],
  ];
  for (const [handler, destroys] of cases) {
    const page = windowPage({ globals: { setTimeout } });
    page.on("plugin:window|destroy", reply.json(true));
    page.run(`globalThis.w = new __zrk__.window.Window("main", { skip: true });`);
    await page.run(`w.onWillClose(${handler})`);
    const id = commands(page, "plugin:event|listen")[0].payload.handler;
    page.run(`_${id}({ event: "zrk://will-close", id: 5 })`);
    await new Promise((r) => setTimeout(r, 40));
    await settle();
    assert.equal(commands(page, "plugin:window|destroy").length, destroys ? 1 : 0, handler);
  }
});

test("lookups read the page's window metadata", async () => {
  const page = windowPage();
  page.on("plugin:window|parent_window", (p) => reply.text(p.label === "tools" ? "main" : ""));
  page.on("plugin:window|owner_window", reply.text("gone"));
  page.on("plugin:window|find", (p) => reply.text(p.label === "tools" ? "tools" : ""));
  page.on("plugin:window|get_system_theme", reply.text("dark"));
  page.on("plugin:window|scale_factor", reply.json(1.5));
  const d = page.run(`(() => {
    const ns = __zrk__.window;
    const a = ns.Window.getByLabel("tools"), b = ns.Window.getByLabel("tools");
    return { current: ns.getCurrent().label, distinct: a !== b && ns.getCurrent() !== ns.getCurrent(),
             all: ns.getAll().map((w) => w.label), missing: ns.Window.getByLabel("nope"), isWindow: a instanceof ns.Window };
  })()`);
  sameJson(d, { current: "main", distinct: true, all: ["main", "tools"], missing: null, isWindow: true });
  assert.equal(await page.run(`new __zrk__.window.Window("tools", { skip: true }).getParent().then((w) => w.label)`), "main");
  assert.equal(await page.run(`new __zrk__.window.Window("main", { skip: true }).getParent()`), null);
  assert.equal(await page.run(`new __zrk__.window.Window("main", { skip: true }).getOwner()`), null);
  const sent = page.requests.length;
  assert.equal(await page.run(`__zrk__.window.findWindowByLabel("")`), null);
  assert.equal(page.requests.length, sent);
  assert.equal(await page.run(`__zrk__.window.findWindowByLabel("nope")`), null);
  assert.equal(await page.run(`__zrk__.window.findWindowByLabel("tools").then((w) => w.label)`), "tools");
  assert.equal(await page.run(`__zrk__.window.getSystemTheme()`), "dark");
  sameJson(page.last.payload, {});
  const converted = await page.run(`(async () => {
    const w = new __zrk__.window.Window("main", { skip: true });
    const p = await w.convertToPhysical({ type: "Logical", width: 100, height: 50, toPhysical(f) { return [this.width * f, this.height * f]; } });
    return p;
  })()`);
  sameJson(converted, [150, 75]);
  const empty = new Page();
  assert.throws(() => empty.run(`__zrk__.window.getCurrent()`), { name: "TypeError" });
  sameJson(empty.run(`__zrk__.window.getAll()`), []);
});

test("the window namespace lists its members in code-unit order", () => {
  const page = new Page();
  sameJson(page.run(`Object.keys(__zrk__.window)`), ["HIT_AREA", "IsListeningMouse", "ListenMouse", "ProgressBarStatus",
    "UnlistenMouse", "UserAttentionType", "WillCloseEvent", "Window", "availableMonitors", "currentMonitor", "cursorPosition",
    "findWindowByLabel", "getAll", "getCurrent", "getSystemTheme", "monitorFromPoint", "primaryMonitor"]);
  sameJson(page.run(`Object.keys(__zrk__.webview)`), ["AutoResizingMask", "Webview", "getAll", "getCurrent"]);
});

// A page whose document is still loading, in a window that has (or has not) a title bar.
function forwardingPage(hasTitleBar) {
  const document = fakeDocument();
  const page = new Page({ globals: { document } });
  page.run(`__zrk_internals__.metadata.currentWindow = { label: "main" };`);
  page.on("plugin:window|has_title_bar", reply.json(hasTitleBar));
  return { page, document };
}

const target = (...classes) => ({ classList: { contains: (c) => classes.includes(c) } });

test("a window without a title bar forwards the page's mouse to the native window", async () => {
  const { page, document } = forwardingPage(false);
  assert.equal(page.run(`__zrk__.listening`), true);
  assert.equal(document.listenerCount("mousedown"), 0);
  await Promise.all(document.dispatch("DOMContentLoaded"));
  assert.deepEqual(["mousedown", "mousemove", "mouseup"].map((t) => document.listenerCount(t)), [1, 1, 1]);
  // A second set-up adds nothing.
  page.run(`__zrk__.initializeWindowTitlebar()`);
  assert.equal(document.listenerCount("DOMContentLoaded"), 1);

  // A simulated drag of the title bar: press, moves, release.
  const plain = target();
  document.dispatch("mousedown", { button: 0, clientX: 10, clientY: 20, target: plain });
  document.dispatch("mousemove", { clientX: 15, clientY: 22, target: plain });
  document.dispatch("mouseup", { button: 0, clientX: 15, clientY: 22, target: plain });
  page.run(`__zrk__.window.ListenMouse("move")`);
  document.dispatch("mousemove", { clientX: 16, clientY: 23, target: plain });
  // System buttons, the middle button and right clicks.
  document.dispatch("mousedown", { button: 0, clientX: 1, clientY: 1, target: target("sysbtn") });
  document.dispatch("mousedown", { button: 1, clientX: 1, clientY: 1, target: plain });
  document.dispatch("mousedown", { button: 2, clientX: 3, clientY: 4, target: null });
  document.dispatch("mouseup", { button: 2, clientX: 3, clientY: 4, target: target("sysbtn") });
  sameJson(page.run(`__posted__`), [
    { type: "mouse-ldown", x: 10, y: 20 },
    { type: "mouse-lup", x: 15, y: 22 },
    { type: "mouse-move", x: 16, y: 23 },
    { type: "mouse-rdown", x: 3, y: 4 },
    { type: "mouse-rup", x: 3, y: 4 },
  ]);
  // Either switch of a pair opens its handler; both off close it.
  page.run(`__posted__.length = 0; __zrk__.window.UnlistenMouse("leftdown")`);
  document.dispatch("mousedown", { button: 0, clientX: 5, clientY: 5, target: plain });
  page.run(`__zrk__.window.UnlistenMouse("rightdown")`);
  document.dispatch("mousedown", { button: 0, clientX: 6, clientY: 6, target: plain });
  sameJson(page.run(`__posted__`), [{ type: "mouse-ldown", x: 5, y: 5 }]);
  sameJson(page.run(`[__zrk__.window.IsListeningMouse("toString"), (__zrk__.window.ListenMouse("x"), __zrk__.window.IsListeningMouse("x"))]`),
           [undefined, true]);
});

test("a window with a title bar, or without an answer, forwards nothing", async () => {
  for (const hasTitleBar of [true, "false"]) {
    const { page, document } = forwardingPage(hasTitleBar);
    await Promise.all(document.dispatch("DOMContentLoaded"));
    assert.equal(document.listenerCount("mousedown"), 0);
    assert.equal(page.run(`__posted__.length`), 0);
  }
  const { page, document } = forwardingPage(false);
  page.on("plugin:window|has_title_bar", reply.fail(400, "Could not find window with label: main"));
  await Promise.all(document.dispatch("DOMContentLoaded"));
  assert.equal(document.listenerCount("mousedown"), 0);
  assert.equal(page.logs.error.length, 1);
});

test("refused commands reject with the native side's message", async () => {
  const page = windowPage();
  // [call, command, native failure, what the page sees]
  const cases = [
    [`w.setResizable()`, "set_resizable", reply.fail(400, 'Missing parameter: "resizable"'), 'Missing parameter: "resizable"'],
    [`w.excludeFromTaskbar(true)`, "exclude_from_taskbar", reply.fail(500, "Internal error: not implemented"), "Internal error: not implemented"],
    [`w.isVisible()`, "is_visible", reply.fail(400, "Could not find window with label: main"), "Could not find window with label: main"],
    [`w.outerSize()`, "outer_size", reply.raw(400, "text/plain", "message in the body", "status text"), "message in the body"],
    [`w.setIcon({})`, "set_icon", reply.fail(400, "Icon resource id is required."), "Icon resource id is required."],
  ];
  page.run(`globalThis.w = new __zrk__.window.Window("main", { skip: true });`);
  for (const [call, command, failure, message] of cases) {
    page.on(`plugin:window|${command}`, failure);
    assert.equal(await rejection(page.run(call)), message, call);
    assert.equal(page.last.command, `plugin:window|${command}`);
  }
  sameJson(page.last.payload, { label: "main", rid: {} });
  assert.equal("resizable" in commands(page, "plugin:window|set_resizable")[0].payload, false);
});
