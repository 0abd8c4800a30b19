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
  if (expected === "$callback") {
    assert.ok(Number.isInteger(actual) && actual > 0, `${where}: a callback id`);
    assert.equal(page.run(`typeof globalThis["_" + ${actual}]`), "function", `${where}: a live callback`);
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
      const page = new Page();
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

test("the golden table covers every command method of the window and webview classes", () => {
  const page = new Page();
  const notCommands = new Set(["constructor", "create", "listen", "once", "emit", "emitTo", "_invoke", "_handleZrkEvent",
    "_handlerZrkEvent", "convertToPhysical", "convertToLogical", "onResized", "onMoved", "onWillClose", "onFocusChanged",
    "onNCMouseDown", "onNCMouseUp", "onThemeChanged", "onScaleChanged"]);
  for (const cls of ["window.Window", "webview.Webview"]) {
    const methods = [...page.run(`Object.getOwnPropertyNames(__zrk__.${cls}.prototype)`)].filter((m) => !notCommands.has(m));
    const missing = methods.filter((m) => !golden.rows.some((row) => row.call.includes(`.${m}(`)));
    assert.deepEqual(missing, [], cls);
  }
});
