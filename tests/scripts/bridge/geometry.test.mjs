// Geometry values, the windows namespace's enumerations and the monitor queries.
import test from "node:test";
import assert from "node:assert/strict";
import { Page, reply, sameJson, rejection } from "./harness.mjs";

test("sizes and positions convert by a scale factor without rounding", () => {
  const page = new Page({ expose: true });
  // [constructor, a, b, method, factor, expected class, expected JSON]
  const cases = [
    ["LogicalSize", 100, 50, "toPhysical", 1.25, "PhysicalSize", { type: "Physical", width: 125, height: 62.5 }],
    ["PhysicalSize", 300, 150, "toLogical", 1.5, "LogicalSize", { type: "Logical", width: 200, height: 100 }],
    ["PhysicalPosition", 301, -7, "toLogical", 2, "LogicalPosition", { type: "Logical", x: 150.5, y: -3.5 }],
    ["LogicalPosition", -10, 3, "toPhysical", 1.5, "PhysicalPosition", { type: "Physical", x: -15, y: 4.5 }],
    ["PhysicalSize", 10, 0, "toLogical", 0, "LogicalSize", { type: "Logical", width: Infinity, height: NaN }],
  ];
  for (const [ctor, a, b, method, factor, cls, expected] of cases) {
    const r = page.run(`(() => {
      const T = __zrk__.__test__;
      const v = new T.${ctor}(${a}, ${b});
      const before = JSON.stringify(v);
      const c = v.${method}(${factor});
      return { keys: Object.keys(c), values: Object.values(c).map(String), cls: c instanceof T.${cls}, unchanged: JSON.stringify(v) === before };
    })()`);
    const label = `${ctor}.${method}(${factor})`;
    sameJson(r.keys, Object.keys(expected), label);
    sameJson(r.values, Object.values(expected).map(String), label);
    assert.equal(r.cls, true, label);
    assert.equal(r.unchanged, true, label);
  }
  sameJson(page.run(`new __zrk__.__test__.LogicalSize()`), { type: "Logical" });
});

test("enumerations, and the will-close event object", () => {
  const page = new Page();
  const d = page.run(`(() => {
    const w = __zrk__.window;
    const ev = new w.WillCloseEvent({ event: "zrk://will-close", payload: 1 });
    const before = ev.isPreventDefault();
    ev.preventDefault();
    ev.preventDefault();
    w.ProgressBarStatus.Custom = "c";
    return {
      hit: [w.HIT_AREA[99], w.HIT_AREA.Other, w.HIT_AREA["1"], w.HIT_AREA.Client, w.HIT_AREA[3]],
      attention: [w.UserAttentionType.Critical, w.UserAttentionType[2]],
      progress: w.ProgressBarStatus, noReverse: "none" in w.ProgressBarStatus,
      ev: { keys: Object.keys(ev), id: ev.id, before, after: ev.isPreventDefault() },
    };
  })()`);
  sameJson(d.hit, ["Other", 99, "Caption", 2, "Border"]);
  sameJson(d.attention, [1, "Informational"]);
  // A changed entry is seen by every reader: the getter hands out the one object.
  sameJson(d.progress, { None: "none", Normal: "normal", Indeterminate: "indeterminate", Paused: "paused", Error: "error", Custom: "c" });
  assert.equal(d.noReverse, false);
  sameJson(d.ev, { keys: ["_preventDefault", "event", "id"], before: false, after: true });
  assert.equal(d.ev.id, undefined);
});

const MONITOR_A = { name: "\\\\.\\DISPLAY1", size: { width: 1920, height: 1080 }, position: { x: 0, y: 0 }, scaleFactor: 1 };
const MONITOR_B = { name: "\\\\.\\DISPLAY2", size: { width: 2560, height: 1440 }, position: { x: -2560, y: 0 }, scaleFactor: 1.5 };

test("monitor queries send their commands and return value objects", async () => {
  const page = new Page({ expose: true });
  page.on("plugin:window|primary_monitor", reply.json(MONITOR_A));
  page.on("plugin:window|monitor_from_point", reply.json(MONITOR_B));
  page.on("plugin:window|available_monitors", reply.json([MONITOR_A, MONITOR_B]));
  page.on("plugin:window|current_monitor", reply.json(null));
  page.on("plugin:window|cursor_position", reply.json({ x: -5, y: 7 }));
  const check = page.run(`(m) => m === null || (m.size instanceof __zrk__.__test__.PhysicalSize && m.position instanceof __zrk__.__test__.PhysicalPosition)`);

  const primary = await page.run(`__zrk__.window.primaryMonitor()`);
  sameJson(primary, { name: MONITOR_A.name, size: { type: "Physical", ...MONITOR_A.size }, position: { type: "Physical", ...MONITOR_A.position }, scaleFactor: 1 });
  assert.equal(check(primary), true);
  sameJson(page.last.payload, {});

  const fromPoint = await page.run(`__zrk__.window.monitorFromPoint(-100, 20)`);
  sameJson(page.last.payload, { x: -100, y: 20 });
  assert.equal(fromPoint.scaleFactor, 1.5);

  const all = await page.run(`__zrk__.window.availableMonitors()`);
  sameJson(all.map((m) => m.name), [MONITOR_A.name, MONITOR_B.name]);
  assert.ok(all.every(check));

  assert.equal(await page.run(`__zrk__.window.currentMonitor()`), null);
  sameJson(page.last.payload, {});

  const cursor = await page.run(`__zrk__.window.cursorPosition()`);
  sameJson(cursor, { type: "Physical", x: -5, y: 7 });

  page.on("plugin:window|primary_monitor", reply.json({ name: "broken" }));
  assert.equal((await rejection(page.run(`__zrk__.window.primaryMonitor()`))).name, "TypeError");
  page.on("plugin:window|primary_monitor", reply.fail(500, "Internal error: no display"));
  assert.equal(await rejection(page.run(`__zrk__.window.primaryMonitor()`)), "Internal error: no display");
});
