// Notifications: the Notification replacement, its permission state and the namespace functions.
import test from "node:test";
import assert from "node:assert/strict";
import { Page, reply, sameJson, settle, rejection, channelTable } from "./harness.mjs";

// A page after the plugin's script ran init; the permission commands call the page's handler
// back with `delivered[command]` (the native side's part), or fail when that is an Error.
function notificationPage(delivered = {}) {
  const page = new Page();
  page.on("plugin:notification|notify", reply.json(true));
  for (const [command, answer] of [["request_permission", reply.text("true")], ["is_permission_granted", reply.json(true)]]) {
    page.on(`plugin:notification|${command}`, (payload) => {
      const value = delivered[command];
      if (value instanceof Error) return reply.fail(400, value.message);
      setImmediate(() => page.run(`_${payload.handler}(${JSON.stringify(value)})`));
      return answer;
    });
  }
  page.run(`__zrk__.notification.init()`);
  return page;
}

test("the constructor sends its options: title, handler as decimal text, a frozen record", async () => {
  const page = notificationPage();
  // [page code, options sent]
  const cases = [
    [`__zrk__.notification.sendNotification("Done")`, { title: "Done" }],
    [`new Notification("T", { title: "old", body: "b", id: "n1" })`, { title: "T", body: "b", id: "n1" }],
    [`__zrk__.notification.sendNotification({ body: "only body" })`, { body: "only body" }],
    [`new Notification("x", null)`, { title: "x" }],
  ];
  for (const [code, options] of cases) {
    page.run(code);
    await settle();
    assert.equal(page.last.command, "plugin:notification|notify", code);
    sameJson(page.last.payload, { options }, code);
  }
  assert.equal(page.run(`Object.keys(new Notification("k")).length`), 0, "the made object has no own properties");

  page.run(`globalThis.events = []; globalThis.opts = { title: "t", body: "b", handler: (e) => events.push(e) };
            __zrk__.notification.sendNotification(opts)`);
  await settle();
  const handler = page.last.payload.options.handler;
  assert.match(handler, /^\d+$/);
  assert.equal(page.run(`Object.isFrozen(opts) && opts.handler`), handler);
  assert.equal(page.run(`typeof globalThis["_" + opts.handler]`), "function");

  // The same options again: the assignment of title throws and nothing is sent.
  const sent = page.requests.length;
  assert.throws(() => page.run(`__zrk__.notification.sendNotification(opts)`), { name: "TypeError" });
  assert.throws(() => page.run(`__zrk__.notification.sendNotification(null)`), { name: "TypeError" });
  await settle();
  assert.equal(page.requests.length, sent);

  // A toast event arrives through the native channel-message road with the order -1, once.
  const channel = channelTable(page);
  const event = JSON.stringify({ event: "activated", id: "", actionId: "open" });
  channel.sendMessage(Number(handler), event, -1);
  await settle();
  sameJson(page.run(`events`), [{ message: event, id: 4294967295 }]);
  assert.equal(page.run(`typeof globalThis["_" + opts.handler]`), "undefined");

  // A failed notify is reported, not left unhandled.
  page.on("plugin:notification|notify", reply.fail(400, "bad"));
  page.run(`new Notification("x")`);
  await settle();
  sameJson(page.logs.error.at(-1), ["bad"]);
});

test("requestPermission maps the delivered value; isPermissionGranted answers from it", async () => {
  // [delivered by request_permission, permission afterwards, isPermissionGranted, command sent for it]
  const cases = [
    ["granted", "granted", true, false],
    ["denied", "denied", false, false],
    ["prompt", "default", "asked", true],
    ["prompt-with-rationale", "default", "asked", true],
    ["default", "default", "asked", true],
    ["something", "something", false, false],
  ];
  for (const [delivered, permission, granted, asks] of cases) {
    const page = notificationPage({ request_permission: delivered, is_permission_granted: "asked" });
    assert.equal(page.run(`Notification.permission`), "default");
    assert.equal(await page.run(`__zrk__.notification.requestPermission()`), delivered, delivered);
    assert.equal(page.run(`Notification.permission`), permission, delivered);
    const before = page.requests.length;
    assert.equal(await page.run(`__zrk__.notification.isPermissionGranted()`), granted, delivered);
    assert.equal(page.requests.length - before, asks ? 1 : 0, delivered);
    if (asks) sameJson(Object.keys(page.last.payload), ["handler"]);
    assert.deepEqual(page.callbackNames(), [], "both callbacks were one-shot");
  }
});

test("permission is read-only, init starts afresh, failures leave the state as it was", async () => {
  const page = notificationPage({ request_permission: "granted", is_permission_granted: false });
  for (const code of [`Notification.permission = "granted"`, `"use strict"; Notification.permission = "granted"`]) {
    assert.throws(() => page.run(code), { message: "Readonly property" }, code);
  }
  const d = page.run(`Object.getOwnPropertyDescriptor(Notification, "permission")`);
  assert.deepEqual([d.enumerable, d.configurable], [true, false]);
  sameJson(page.run(`Object.getOwnPropertyNames(__zrk__.notification)`),
    ["init", "isPermissionGranted", "requestPermission", "sendNotification"]);
  assert.equal(page.run(`Object.isFrozen(__zrk__.notification) && Object.getPrototypeOf(__zrk__.notification)`), null);

  await page.run(`Notification.requestPermission()`);
  assert.equal(page.run(`Notification.permission`), "granted");
  page.run(`__zrk__.notification.init()`);
  assert.equal(page.run(`Notification.permission`), "default", "a second init starts at default");
  assert.equal(await page.run(`__zrk__.notification.isPermissionGranted()`), false);

  // init again while a request is under way: the answer cannot be written to the new constructor.
  const pending = page.run(`__zrk__.notification.requestPermission()`);
  page.run(`__zrk__.notification.init()`);
  assert.equal((await rejection(pending)).message, "Readonly property");
  assert.equal(page.run(`Notification.permission`), "default");

  const failing = notificationPage({ request_permission: new Error("no"), is_permission_granted: new Error("no") });
  assert.equal(await rejection(failing.run(`__zrk__.notification.requestPermission()`)), "no");
  assert.equal(await rejection(failing.run(`__zrk__.notification.isPermissionGranted()`)), "no");
  assert.equal(failing.run(`Notification.permission`), "default");
  assert.deepEqual(failing.callbackNames(), []);
});

test("before init the namespace uses the page's own Notification", async () => {
  const page = new Page();
  page.run(`globalThis.made = []; globalThis.Notification = function (t, o) { made.push([t, o]); };
            Notification.permission = "granted"; Notification.requestPermission = async () => "mine";`);
  page.run(`__zrk__.notification.sendNotification("hi")`);
  sameJson(page.run(`made`), [["hi", null]]);
  assert.equal(await page.run(`__zrk__.notification.isPermissionGranted()`), true);
  assert.equal(await page.run(`__zrk__.notification.requestPermission()`), "mine");
  assert.equal(page.requests.length, 0);
});
