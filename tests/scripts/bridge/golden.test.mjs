// Every row of golden.json: the page call sends exactly the listed commands and payloads.
import test from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import { Page, reply, settle } from "./harness.mjs";

const golden = JSON.parse(fs.readFileSync(new URL("./golden.json", import.meta.url), "utf8"));

function toReply(answer) {
  if (answer === undefined) return reply.json(true);
  if ("json" in answer) return reply.json(answer.json);
  if ("text" in answer) return reply.text(answer.text);
  if ("fail" in answer) return reply.fail(answer.fail[0], answer.fail[1]);
  throw new Error(`unknown reply ${JSON.stringify(answer)}`);
}

// Replaces each "$callback" of the expected payload by the actual value after checking that it
// names a callback on the page.
function resolveCallbacks(page, expected, actual, where) {
  if (expected === "$callback" || expected === "$callbackText" || expected === "$channel") {
    const forms = { $callback: /^/, $callbackText: /^(\d+)$/, $channel: /^__channel__:(\d+)$/ };
    const id = expected === "$callback" ? actual : Number(forms[expected].exec(String(actual))?.[1]);
    if (expected !== "$callback") assert.equal(typeof actual, "string", `${where}: ${expected}`);
    assert.ok(Number.isInteger(id) && id > 0, `${where}: a callback id`);
    assert.equal(page.run(`typeof globalThis["_" + ${id}]`), "function", `${where}: a live callback`);
    return actual;
  }
  if (expected && typeof expected === "object" && actual && typeof actual === "object") {
    const out = Array.isArray(expected) ? [] : {};
    for (const k of Object.keys(expected)) out[k] = resolveCallbacks(page, expected[k], actual[k], `${where}.${k}`);
    return out;
  }
  return expected;
}

test("golden table of page calls and their commands", async (t) => {
  assert.ok(golden.rows.length > 0);
  const known = new Set(golden.rows.flatMap((r) => r.requests.map((q) => q.command)));
  for (const row of golden.rows) {
    await t.test(row.call, async () => {
      const page = new Page({ expose: !!row.internal });
      for (const command of known) page.on(command, toReply(row.replies?.[command]));
      await page.run(row.call);
      await settle();
      assert.equal(page.requests.length, row.requests.length, "number of requests");
      row.requests.forEach((expected, i) => {
        const actual = page.requests[i];
        assert.equal(actual.command, expected.command);
        assert.equal(actual.headers.get("content-type"), "application/json");
        assert.deepEqual(actual.payload, resolveCallbacks(page, expected.payload, actual.payload, expected.command));
        assert.equal(JSON.stringify(Object.keys(actual.payload)), JSON.stringify(Object.keys(expected.payload)), "key order");
      });
    });
  }
});

test("the golden table covers every command method of the window, webview, menu and image classes", () => {
  const page = new Page({ expose: true });
  const notCommands = new Set(["constructor", "create", "listen", "once", "emit", "emitTo", "_invoke", "_handleZrkEvent",
    "_handlerZrkEvent", "convertToPhysical", "convertToLogical", "onResized", "onMoved", "onWillClose", "onFocusChanged",
    "onNCMouseDown", "onNCMouseUp", "onThemeChanged", "onScaleChanged"]);
  for (const cls of ["window.Window", "webview.Webview"]) {
    const methods = [...page.run(`Object.getOwnPropertyNames(__zrk__.${cls}.prototype)`)].filter((m) => !notCommands.has(m));
    const missing = methods.filter((m) => !golden.rows.some((row) => row.call.includes(`.${m}(`)));
    assert.deepEqual(missing, [], cls);
  }
  // Menu and image classes: every method and static creator, on a row that names the class.
  const menuClasses = ["menu.MenuItemBase", "menu.MenuItem", "menu.CheckMenuItem", "menu.IconMenuItem",
    "menu.SeparatorMenuItem", "menu.Submenu", "menu.Menu", "__test__.NativeImage", "__test__.NamedNativeImage"];
  const inherited = { MenuItemBase: ["MenuItem"], NamedNativeImage: ["NativeImage"] };
  for (const cls of menuClasses) {
    const members = page.run(`(() => { const C = __zrk__.${cls};
      const own = (o) => Object.getOwnPropertyNames(o).filter((m) => typeof Object.getOwnPropertyDescriptor(o, m).value === "function");
      return [...own(C.prototype), ...own(C)].filter((m) => m !== "constructor"); })()`);
    const name = cls.split(".")[1];
    const callers = [name, ...(inherited[name] ?? [])];
    const missing = [...members].filter((m) => !golden.rows.some((row) =>
      callers.some((c) => row.call.includes(`${c}(`) || row.call.includes(`${c}.`)) && row.call.includes(`.${m}(`)));
    assert.deepEqual(missing, [], cls);
  }
  for (const command of ["notify", "request_permission", "is_permission_granted"]) {
    assert.ok(golden.rows.some((row) => row.requests.some((q) => q.command === `plugin:notification|${command}`)), command);
  }
});
