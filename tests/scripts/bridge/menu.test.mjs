// Menus: newMenu and injectChannel, the item and container classes, popups, the menu look, images.
import test from "node:test";
import assert from "node:assert/strict";
import { Page, reply, sameJson, settle, rejection, channelTable } from "./harness.mjs";

// A page whose menu service answers "new" with fresh resource ids and echoes every other command.
function menuPage(options = {}) {
  const page = new Page({ expose: true, ...options });
  let rid = 100;
  page.on("plugin:menu|new", (payload) => reply.json([++rid, payload.options?.id ?? ""]));
  return page;
}

function channelId(text) {
  const m = /^__channel__:(\d+)$/.exec(text);
  assert.ok(m, `a channel in JSON form: ${text}`);
  return Number(m[1]);
}

test("static creators: the kind, the options as sent, the caller's object and the result", async () => {
  const page = menuPage();
  // [creator call, kind, options as sent (undefined: absent), class, kind of the result]
  const cases = [
    [`__zrk__.menu.MenuItem.new()`, "MenuItem", undefined, "MenuItem", "MenuItem"],
    [`__zrk__.menu.MenuItem.new({ id: "open", text: "Open", accelerator: "Ctrl+O" })`, "MenuItem",
      { id: "open", text: "Open", accelerator: "Ctrl+O", items: null }, "MenuItem", "MenuItem"],
    [`__zrk__.menu.SeparatorMenuItem.new()`, "Separator", { items: null }, "SeparatorMenuItem", "Separator"],
    [`__zrk__.menu.IconMenuItem.new({ text: "i", icon: "add" })`, "Icon", { text: "i", icon: "add", items: null },
      "IconMenuItem", "Icon"],
    [`__zrk__.menu.Submenu.new({ text: "More", auto_destroy: true })`, "Submenu",
      { text: "More", auto_destroy: true, items: null }, "Submenu", "Submenu"],
    [`__zrk__.menu.Menu.new({ id: "m" })`, "Menu", { id: "m", items: null }, "Menu", "Menu"],
  ];
  for (const [call, kind, options, cls, resultKind] of cases) {
    const item = await page.run(call);
    const sent = page.last.payload;
    assert.deepEqual(Object.keys(sent), options === undefined ? ["kind", "handler"] : ["kind", "options", "handler"], call);
    assert.equal(sent.kind, kind, call);
    if (options === undefined) assert.equal(sent.options, undefined, call);
    else sameJson(sent.options, options, call);
    channelId(sent.handler);
    assert.equal(item.constructor.name, cls, call);
    assert.equal(item.kind, resultKind, call);
    assert.equal(item.rid, page.run(`101 + ${cases.findIndex((c) => c[0] === call)}`));
    assert.equal(item.id, options?.id ?? "", call);
  }

  // An action becomes the object's channel handler and leaves the caller's options.
  page.run(`globalThis.opts = { text: "Wrap", checked: true, action: function (id) { globalThis.clicked = [id, this.id]; } }`);
  const check = await page.run(`__zrk__.menu.CheckMenuItem.new(opts)`);
  assert.equal(page.run(`"action" in opts`), false);
  sameJson(page.last.payload.options, { text: "Wrap", checked: true, items: null });
  const channel = channelId(page.last.payload.handler);
  page.run(`_${channel}({ message: "wrap", id: -1 })`);
  page.run(`_${channel}({ message: "wrap", id: 4294967295 })`);
  sameJson(page.run(`clicked`), ["wrap", channel], "the action runs with the id, the channel as this");
  assert.equal(check.kind, "Check");
  assert.ok(page.callbackNames().includes(`_${channel}`), "the channel stays registered");

  // A refused kind rejects with the native text.
  page.on("plugin:menu|new", reply.fail(400, "Bad Request"));
  assert.equal(await rejection(page.run(`__zrk__.menu.newMenu("Tray", {})`)), "Bad Request");
});

test("newMenu and injectChannel convert the items: objects, references, specs, nested submenus", async () => {
  const page = menuPage();
  page.run(`
    globalThis.a = new __zrk__.menu.MenuItem(7, "a");
    globalThis.inner = { text: "deep", id: "deep", action: () => {} };
    globalThis.sub = { kind: "Submenu", text: "S", action: () => {}, items: [a, [9, "Check"], inner] };
    globalThis.spec = { text: "t", id: "t", action: () => {} };
  `);
  const made = await page.run(`__zrk__.menu.newMenu("Menu", { id: "m", items: [a, [8, "Icon"], spec, sub] })`);
  sameJson(made, [101, "m"]);
  const items = page.last.payload.options.items;
  sameJson(items[0], [7, "MenuItem"]);
  sameJson(items[1], [8, "Icon"]);
  assert.deepEqual(Object.keys(items[2]), ["text", "id", "handler"]);
  channelId(items[2].handler);
  // The submenu spec: no channel of its own, its entries converted in the caller's object.
  assert.deepEqual(Object.keys(items[3]), ["kind", "text", "items"]);
  sameJson(items[3].items.slice(0, 2), [[7, "MenuItem"], [9, "Check"]]);
  channelId(items[3].items[2].handler);
  assert.equal(page.run(`typeof sub.action`), "function");
  assert.equal(page.run(`Array.isArray(sub.items[0]) && "handler" in sub.items[2]`), true);
  assert.equal(page.run(`"action" in spec || "action" in inner`), false);

  // injectChannel with once: the first click runs the action, the second reaches nothing.
  const spec = page.run(`globalThis.clicks = []; globalThis.once = { id: "x", action: (id) => clicks.push(id) };
    __zrk__.menu.injectChannel(once, true)`);
  assert.equal(page.run(`"action" in once`), false);
  const id = channelId(spec.handler.toJSON());
  page.run(`_${id}({ message: "x", id: -1 })`);
  assert.equal(page.run(`typeof globalThis._${id}`), "undefined");
  sameJson(page.run(`clicks`), ["x"]);

  // A spec without an action passes unchanged; items null becomes undefined; entries must be objects.
  assert.equal(page.run(`globalThis.plain = { text: "p" }; __zrk__.menu.injectChannel(plain) === plain`), true);
  assert.equal(page.run(`"items" in __zrk__.menu.injectChannel({ items: null }) `), true);
  assert.equal(page.run(`__zrk__.menu.injectChannel({ items: null }).items`), undefined);
  assert.throws(() => page.run(`__zrk__.menu.injectChannel({ items: [1] })`), { name: "TypeError" });
  assert.equal((await rejection(page.run(`__zrk__.menu.newMenu("Menu", { items: ["x"] })`))).name, "TypeError");
});

test("append, prepend, insert and remove send the items and positions of the tables", async () => {
  const page = menuPage();
  page.on("plugin:menu|append", reply.json(true));
  page.on("plugin:menu|prepend", reply.json(true));
  page.on("plugin:menu|insert", reply.json(true));
  page.on("plugin:menu|remove", reply.json(true));
  page.run(`
    globalThis.menu = new __zrk__.menu.Menu(50, "m");
    globalThis.sub = new __zrk__.menu.Submenu(51, "s");
    globalThis.A = new __zrk__.menu.MenuItem(60, "a");
    globalThis.B = new __zrk__.menu.CheckMenuItem(61, "b");
  `);
  // [call, command, payload]
  const cases = [
    [`menu.append([A, B])`, "append", { rid: 50, kind: "Menu", items: [[60, "MenuItem"], [61, "Check"]] }],
    [`sub.prepend([A, B])`, "prepend", { rid: 51, kind: "Submenu", items: [[60, "MenuItem"], [61, "Check"]] }],
    [`menu.insert([A, B], 1)`, "insert", { rid: 50, kind: "Menu", position: 1, items: [[60, "MenuItem"], [61, "Check"]] }],
    [`menu.insert(A)`, "insert", { rid: 50, kind: "Menu", items: [[60, "MenuItem"]] }],
    [`menu.append([[70, "Icon"]])`, "append", { rid: 50, kind: "Menu", items: [[70, "Icon"]] }],
    [`menu.append({ text: "t" })`, "append", { rid: 50, kind: "Menu", items: [{ text: "t" }] }],
    [`sub.remove(B)`, "remove", { rid: 51, kind: "Submenu", item: [61, "Check"] }],
  ];
  for (const [call, command, payload] of cases) {
    assert.equal(await page.run(call), true, call);
    assert.equal(page.last.command, `plugin:menu|${command}`, call);
    sameJson(page.last.payload, payload, call);
    assert.deepEqual(Object.keys(page.last.payload), Object.keys(payload), call);
  }

  // Each spec's own `once` decides whether its action survives the first click.
  page.run(`globalThis.hits = [];`);
  await page.run(`menu.append([{ id: "one", once: true, action: (id) => hits.push(id) },
                               { id: "many", action: (id) => hits.push(id) }])`);
  const [first, second] = page.last.payload.items.map((i) => channelId(i.handler));
  assert.equal(page.last.payload.items[0].once, true, "once is sent along");
  for (let i = 0; i < 2; ++i) {
    for (const id of [first, second]) page.run(`globalThis._${id} && _${id}({ message: "m${id}", id: -1 })`);
  }
  sameJson(page.run(`hits`), [`m${first}`, `m${second}`, `m${second}`]);

  // A bare reference is a list of a number and a text; remove needs an item.
  assert.equal((await rejection(page.run(`menu.append([70, "Icon"])`))).name, "TypeError");
  assert.equal((await rejection(page.run(`menu.remove()`))).name, "TypeError");

  page.on("plugin:menu|append", reply.fail(400, "Empty items"));
  assert.equal(await rejection(page.run(`menu.append([])`)), "Empty items");
});

test("replies become page objects: itemFromKind, items, getAt, get, removeAt, window menus", async () => {
  const page = menuPage();
  // [description, class, kind]
  const kinds = [
    [[1, "s", "Submenu"], "Submenu", "Submenu"],
    [[2, "i", "Icon"], "IconMenuItem", "Icon"],
    [[3, "c", "Check"], "CheckMenuItem", "Check"],
    [[4, "", "Separator"], "SeparatorMenuItem", "Separator"],
    [[5, "m", "MenuItem"], "MenuItem", "MenuItem"],
    [[6, "menu", "Menu"], "MenuItem", "MenuItem"],
    [[7, "p", "Predifined"], "MenuItem", "MenuItem"],
  ];
  for (const [description, cls, kind] of kinds) {
    const item = page.run(`__zrk__.menu.itemFromKind(${JSON.stringify(description)})`);
    assert.deepEqual([item.constructor.name, item.rid, item.id, item.kind], [cls, description[0], description[1], kind]);
  }

  page.run(`globalThis.menu = new __zrk__.menu.Menu(50, "m")`);
  page.on("plugin:menu|items", reply.json(kinds.map((k) => k[0])));
  const items = await page.run(`menu.items()`);
  assert.deepEqual(items.map((i) => i.constructor.name), kinds.map((k) => k[1]));
  page.on("plugin:menu|items", reply.json([]));
  sameJson(await page.run(`menu.items()`), []);

  page.on("plugin:menu|get_at", (p) => reply.json(p.index < 3 ? [10 + p.index, "x", "Check"] : null));
  assert.equal((await page.run(`menu.getAt(1)`)).rid, 11);
  assert.equal(await page.run(`menu.getAt(99)`), null);
  sameJson(page.last.payload, { rid: 50, kind: "Menu", index: 99 });
  page.on("plugin:menu|get", (p) => reply.json(p.id === "" ? [50, "m", "Menu"] : null));
  const self = await page.run(`menu.get("")`);
  assert.deepEqual([self.constructor.name, self.rid, self.kind], ["MenuItem", 50, "MenuItem"]);
  assert.equal(await page.run(`menu.get("none")`), null);
  page.on("plugin:menu|remove_at", reply.json([12, "z", "Submenu"]));
  const removed = await page.run(`menu.removeAt(0)`);
  assert.deepEqual([removed.constructor.name, removed.rid], ["Submenu", 12]);
  sameJson(page.last.payload, { rid: 50, kind: "Menu", position: 0 });

  // Window menus: a reply of resource id and id is a Menu, a null reply is null.
  for (const [answer, expected] of [[null, null], [[77, "old"], [77, "old"]]]) {
    page.on("plugin:menu|set_as_window_menu", reply.json(answer));
    page.on("plugin:menu|remove_window_menu", reply.json(answer));
    const set = await page.run(`menu.setAsWindowMenu({ label: "main" })`);
    sameJson(page.last.payload, { rid: 50, kind: "Menu", window: "main" });
    const off = await page.run(`__zrk__.menu.Menu.removeWindowMenu()`);
    sameJson(page.last.payload, { window: null });
    for (const m of [set, off]) {
      if (expected === null) assert.equal(m, null);
      else assert.deepEqual([m.constructor.name, m.rid, m.id], ["Menu", ...expected]);
    }
  }

  // The main menu: rid 9, a description of kind "Menu" or nothing.
  for (const [answer, expected] of [[null, null], [[9, "appMainMenu", "Submenu"], null], [[9, "appMainMenu", "Menu"], 9]]) {
    page.on("plugin:menu|get", reply.json(answer));
    const main = await page.run(`__zrk__.menu.Menu.mainMenu()`);
    sameJson(page.last.payload, { rid: 9, kind: "Menu", id: "" });
    assert.equal(main === null ? null : main.rid, expected);
  }
  page.on("plugin:menu|get", reply.fail(400, "Could not find the menu with given resourcid id."));
  assert.equal(await rejection(page.run(`__zrk__.menu.Menu.mainMenu()`)),
    "Could not find the menu with given resourcid id.");
  assert.equal(await rejection(page.run(`__zrk__.menu.Menu.default()`)), "plugin invoke failed");
  sameJson(page.last.payload, {});
});

test("item commands: accelerators, checks, icons and the refusals of the native side", async () => {
  const page = menuPage();
  page.on("plugin:menu|set_accelerator", reply.json(true));
  page.run(`globalThis.item = new __zrk__.menu.MenuItem(5, "i"); const K = __zrk__.menu.KeyModifier;`);
  // [arguments, payload]
  const set = [
    [`"Ctrl+S"`, { rid: 5, kind: "MenuItem", accelerator: "Ctrl+S" }],
    [`"Ctrl+S", 0`, { rid: 5, kind: "MenuItem", accelerator: "Ctrl+S" }],
    [`"S", K.Ctrl | K.Shift`, { rid: 5, kind: "MenuItem", accelerator: "S", modifier: 3 }],
    [``, { rid: 5, kind: "MenuItem" }],
  ];
  for (const [args, payload] of set) {
    await page.run(`item.setAccelerator(${args})`);
    sameJson(page.last.payload, payload, args);
  }
  for (const [answer, expected] of [[reply.text("Ctrl+S"), { accelerator: "Ctrl+S", modifier: 0 }],
    [reply.text(""), { accelerator: "", modifier: 0 }],
    [reply.json({ accelerator: "S", modifier: 3 }), { accelerator: "S", modifier: 3 }]]) {
    page.on("plugin:menu|accelerator", answer);
    sameJson(await page.run(`item.getAccelerator()`), expected);
  }

  page.on("plugin:menu|is_checked", reply.fail(400, "Not a check menu item"));
  assert.equal(await rejection(page.run(`new __zrk__.menu.CheckMenuItem(5, "i").isChecked()`)),
    "Not a check menu item");
  sameJson(page.last.payload, { rid: 5 });
  page.on("plugin:menu|identifier", reply.fail(400, "Not a menu item"));
  assert.equal(await rejection(page.run(`new __zrk__.menu.Menu(3, "m").identifier()`)), "Not a menu item");

  // The icon goes through toImageArgument.
  page.on("plugin:menu|set_icon", reply.json(true));
  for (const [arg, icon] of [[`"add"`, "add"], [`12`, 12], [`undefined`, null],
    [`new __zrk__.__test__.NamedNativeImage(33, "n")`, 33], [`new Uint8Array([1, 2])`, [1, 2]]]) {
    await page.run(`new __zrk__.menu.IconMenuItem(8, "x").setIcon(${arg})`);
    sameJson(page.last.payload, { rid: 8, icon }, arg);
  }

  // Private fields: a method on a foreign object fails with the exact text.
  assert.throws(() => page.run(`Object.getOwnPropertyDescriptor(__zrk__.menu.MenuItemBase.prototype, "id").get.call({})`),
    { message: "Cannot read private member from an object whose class did not declare it" });
  assert.equal(page.run(`Object.keys(item).length`), 0);
});

test("popup: position, window and alignment; the choice through the handler; a refusal rejects", async () => {
  const page = menuPage({ ids: Array.from({ length: 50 }, (_, i) => i + 1) });
  let handlerId = null;
  page.on("plugin:menu|popup", (payload) => {
    handlerId = payload.handler;
    return reply.json(true);
  });
  page.run(`globalThis.menu = new __zrk__.menu.Menu(50, "m"); const T = __zrk__.__test__;
            const A = __zrk__.menu.PopupAlignment;`);
  // [arguments, payload without the handler]
  const cases = [
    [``, { rid: 50, kind: "Menu", pos: null, window: null }],
    [`new T.PhysicalPosition(10, 20), { label: "main" }, A.ReturnCmd`,
      { rid: 50, kind: "Menu", pos: { Physical: { x: 10, y: 20 } }, align: 16, window: "main" }],
    [`new T.LogicalPosition(1.5, 2), null, A.Right | A.Bottom`,
      { rid: 50, kind: "Menu", pos: { Logical: { x: 1.5, y: 2 } }, align: 12, window: null }],
    [`{ x: 10, y: 20, type: "Physical" }, { label: "w2" }, 0`,
      { rid: 50, kind: "Menu", pos: { Logical: { x: 10, y: 20 } }, align: 0, window: "w2" }],
  ];
  for (const [args, payload] of cases) {
    const choice = page.run(`menu.popup(${args})`);
    await settle();
    const sent = { ...page.last.payload };
    assert.ok(Number.isInteger(sent.handler) && sent.handler > 0);
    delete sent.handler;
    sameJson(sent, payload, args);
    assert.deepEqual(Object.keys(sent), Object.keys(payload), args);
    page.run(`_${handlerId}(${JSON.stringify(args ? "open" : "")})`);
    assert.equal(await choice, args ? "open" : "");
    assert.equal(page.run(`typeof globalThis._${handlerId}`), "undefined", "one-shot");
  }

  // Through the native channel-data road, as a chosen entry is reported.
  const channel = channelTable(page);
  const choice = page.run(`new __zrk__.menu.Submenu(51, "s").popup()`);
  await settle();
  channel.sendData(handlerId, "save");
  assert.equal(await choice, "save");

  const before = page.callbackNames();
  page.on("plugin:menu|popup", reply.fail(400, "Could not find the menu with given resourcid id."));
  const failure = await rejection(page.run(`menu.popup()`));
  assert.equal(failure, "Could not find the menu with given resourcid id.");
  assert.deepEqual(page.callbackNames(), before, "no callback is left behind");
});

test("an item's click arrives on the native channel-data road and runs its action", async () => {
  const page = menuPage();
  const channel = channelTable(page);
  page.on("plugin:menu|append", reply.json(true));
  page.run(`globalThis.got = []; globalThis.menu = new __zrk__.menu.Menu(50, "m");`);
  await page.run(`menu.append({ id: "open", text: "Open", action: function (id) { got.push(id); } })`);
  const id = channelId(page.last.payload.items[0].handler);
  channel.sendData(id, { message: "open", id: -1 });
  channel.sendData(id, { message: "open", id: -1 });
  await settle();
  sameJson(page.run(`got`), ["open", "open"]);
  assert.deepEqual(page.logs.error, []);
});

test("config writes colour records back as abgr numbers and sends a copy", async () => {
  const page = menuPage();
  page.on("plugin:menu|config", reply.text(""));
  page.run(`globalThis.look = { textColor: { r: 255, g: 0, b: 0 }, fontSize: 12, borderColor: 0x11223344,
    shadowColor: { r: 0, g: 0, b: 255, a: 0.5 }, fontName: { r: 1 }, backgroundColor: null };`);
  assert.equal(await page.run(`__zrk__.menu.Menu.config(look)`), undefined);
  const expected = { textColor: -16776961, fontSize: 12, borderColor: 0x11223344, shadowColor: (128 << 24) | (255 << 16),
    fontName: { r: 1 }, backgroundColor: null };
  sameJson(page.last.payload, expected);
  sameJson(page.run(`look`), expected, "the caller's object holds the numbers");
  assert.equal(page.run(`look.textColor`), -16776961);
  await page.run(`__zrk__.menu.Menu.config()`);
  sameJson(page.last.payload, {});
});

test("the menus namespace, its enumerations and the image classes", async () => {
  const page = menuPage();
  const d = page.run(`({ names: Object.getOwnPropertyNames(__zrk__.menu), frozen: Object.isFrozen(__zrk__.menu),
    getters: Object.getOwnPropertyNames(__zrk__.menu).filter((n) => Object.getOwnPropertyDescriptor(__zrk__.menu, n).get) })`);
  sameJson(d.names, ["CheckMenuItem", "IconMenuItem", "KeyModifier", "Menu", "MenuItem", "MenuItemBase", "NativeIcon",
    "PopupAlignment", "SeparatorMenuItem", "Submenu", "injectChannel", "itemFromKind", "newMenu"]);
  sameJson(d.getters, ["KeyModifier", "NativeIcon", "PopupAlignment"]);
  assert.equal(d.frozen, true);
  page.run(`__zrk__.menu.Menu = null`);
  assert.equal(page.run(`typeof __zrk__.menu.Menu`), "function");
  assert.throws(() => page.run(`"use strict"; __zrk__.menu.newMenu = null;`), { name: "TypeError" });
  sameJson(page.run(`__zrk__.menu.KeyModifier`), { 1: "Shift", 2: "Ctrl", 4: "CmdAlt", 8: "OptWin", Shift: 1, Ctrl: 2, CmdAlt: 4, OptWin: 8 });
  sameJson(page.run(`__zrk__.menu.NativeIcon`), { Add: "Add" });
  assert.equal(page.run(`__zrk__.menu.PopupAlignment.Left`), 1);
  assert.equal(page.run(`__zrk__.menu.PopupAlignment[16]`), "ReturnCmd");
  assert.equal(page.run(`__zrk__.menu.PopupAlignment.Right | __zrk__.menu.PopupAlignment.Bottom`), 12);
  assert.equal(page.run(`Object.getPrototypeOf(__zrk__.menu.Submenu) === __zrk__.menu.MenuItemBase`), true);
  assert.equal(page.run(`"NativeImage" in __zrk__.menu || "NamedNativeImage" in __zrk__.menu`), false);

  // toImageArgument, in the order of its tests.
  const conversions = [
    [`null`, null], [`undefined`, null], [`"name"`, "name"], [`new Uint8Array([1, 2, 3])`, [1, 2, 3]],
    [`new Uint8ClampedArray([4])`, [4]], [`new Uint8Array([1, 2, 3]).buffer`, [1, 2, 3]],
    [`new T.NativeImage(4)`, 4], [`new T.NamedNativeImage(5, "x")`, 5], [`12`, 12], [`[1, 2]`, [1, 2]],
    [`new Int8Array([1, 2])`, { 0: 1, 1: 2 }], [`({ rid: 3 })`, { rid: 3 }],
  ];
  page.run(`globalThis.T = __zrk__.__test__;`);
  for (const [value, sent] of conversions) {
    sameJson(page.run(`T.toImageArgument(${value})`), sent, value);
  }
  assert.equal(page.run(`(() => { const a = new Int8Array(1); return T.toImageArgument(a) === a; })()`), true);

  // Image creators and queries: a reply of 0 is null; ids are read as integers.
  const replies = { "plugin:image|new": 0, "plugin:image|from_bytes": "12", "plugin:image|from_path": 13,
    "plugin:image|find_byname": 0 };
  for (const [command, value] of Object.entries(replies)) page.on(command, reply.json(value));
  assert.equal(await page.run(`T.NativeImage.new([1, 2, 3, 4], 1, 1, "ico")`), null);
  sameJson(page.last.payload, { rgba: [1, 2, 3, 4], width: 1, height: 1, type: "ico" });
  const named = await page.run(`T.NativeImage.namedFromBytes(new Uint8Array([9]).buffer, "logo")`);
  assert.deepEqual([named.constructor.name, named.rid, named.name, named._name], ["NamedNativeImage", 12, "logo", "logo"]);
  sameJson(page.last.payload, { bytes: [9], name: "logo" });
  const fromPath = await page.run(`T.NativeImage.fromPath("/a.ico")`);
  assert.deepEqual([fromPath.constructor.name, fromPath.rid], ["NativeImage", 13]);
  sameJson(page.last.payload, { path: "/a.ico" });
  assert.equal(await page.run(`T.NativeImage.findNamed("none")`), null);
  page.on("plugin:image|find_byname", reply.json(21));
  assert.equal((await page.run(`T.NativeImage.findNamed("logo")`)).name, "logo");
  page.on("plugin:image|rgba", reply.binary([1, 2, 3]));
  const bytes = await page.run(`new T.NativeImage(4).rgba()`);
  assert.equal(bytes.constructor.name, "Uint8Array");
  assert.deepEqual([...bytes], [1, 2, 3]);
  page.on("plugin:image|size", reply.fail(400, "Could not get size of the resource."));
  assert.equal(await rejection(page.run(`new T.NativeImage(4).size()`)), "Could not get size of the resource.");
});
