// The pages' helpers: addresses, orientation arithmetic checked against turning a pixel grid, and
// a folder's images in order.
import { test } from "node:test";
import assert from "node:assert/strict";
import { createRequire } from "node:module";
import path from "node:path";

const require = createRequire(import.meta.url);
const P = require(path.join(process.env.PEL_PAGES_DIR || "pages", "pelmora.js"));

test("a page's file is everything after the first ?file=, decoded, + kept", () => {
  const rows = [
    ["https://.pelma/viewer.w?file=/tmp/a%20b%2Bc.png", "/tmp/a b+c.png"],
    ["https://.pelma/viewer.w?file=/x/a+b#c&d?file=e.png", "/x/a+b#c&d?file=e.png"],
    ["https://.pelma/viewer.w?file=/x/%C3%A9t%C3%A9.jpg", "/x/été.jpg"],
    ["https://.pelma/viewer.w?file=", ""],
    ["https://.pelma/viewer.w", null],
    ["https://.pelma/viewer.w?file=/bad%zz", null],
    ["https://.pelma/viewer.w?file=/bad%C3", null],
  ];
  for (const [href, file] of rows) assert.equal(P.fileFromAddress(href), file, href);
  // What the page encodes comes back whole.
  const name = "/p/a b+c#&?=%;é€😀.png";
  assert.equal(P.fileFromAddress("https://.pelma/editor.w?file=" + P.encodePath(name)), name);
});

test("thumbnail paths are encoded twice, as the handler decodes them twice", () => {
  const url = P.thumbnailUrl("https://pelma", "/a b+c%.png", 199.6, 100, false);
  assert.equal(url, "https://pelma/thumbnail?path=%252Fa%2520b%252Bc%2525.png&width=200&height=100&option=1");
  const query = new URL(url).searchParams.get("path"); // the first decoding
  assert.equal(decodeURIComponent(query), "/a b+c%.png");
  assert.match(P.thumbnailUrl("https://pelma", "/a.png", 10, 10, true, 7), /&option=3&nocache=&v=7$/);
});

// ---- Orientation, against a grid of pixels turned by hand.
const grid = [["a", "b", "c"], ["d", "e", "f"]];
const mirror = (g) => g.map((row) => row.slice().reverse());
const flipDown = (g) => g.slice().reverse();
const transpose = (g) => g[0].map((_, c) => g.map((row) => row[c]));
const right = (g) => mirror(transpose(g));          // 90 degrees clockwise
const left = (g) => flipDown(transpose(g));         // 90 degrees counter-clockwise
const half = (g) => flipDown(mirror(g));
// How EXIF turns a stored image into the shown one.
const exif = {
  1: (g) => g, 2: mirror, 3: half, 4: flipDown, 5: transpose, 6: right, 7: (g) => half(transpose(g)), 8: left,
};
// The codec's transform numbers.
const codec = { 1: right, 2: half, 3: left, 4: mirror, 5: flipDown, 6: transpose, 7: (g) => half(transpose(g)) };
const edits = { rotateRight: right, rotateLeft: left, flipHorizontal: mirror, flipVertical: flipDown };

test("an edit composed with a file's orientation shows what turning the picture shows", () => {
  for (let o = 1; o <= 8; o++) {
    for (const [name, turn] of Object.entries(edits)) {
      const composed = P.composeOrientation(o, P.EDITS[name]);
      assert.deepEqual(exif[composed](grid), turn(exif[o](grid)), `orientation ${o}, ${name}`);
    }
  }
  assert.equal(P.composeOrientation(6, 8), 1);
  assert.equal(P.composeOrientation(0, 6), 6); // an unknown orientation counts as 1
});

test("a list of edits becomes one orientation, and that one transform number", () => {
  const lists = [[], ["rotateRight"], ["rotateRight", "rotateRight"], ["rotateLeft"],
    ["flipHorizontal"], ["flipVertical"], ["rotateRight", "flipHorizontal"],
    ["flipHorizontal", "rotateRight"], ["rotateLeft", "rotateLeft", "rotateLeft", "rotateLeft"]];
  for (const list of lists) {
    const expected = list.reduce((g, name) => edits[name](g), grid);
    const net = P.editOrientation(list);
    assert.deepEqual(exif[net](grid), expected, list.join(","));
    const number = P.transformNumber(net);
    assert.deepEqual(number === 0 ? grid : codec[number](grid), expected, "transform " + list.join(","));
  }
});

test("a folder's images in the order a person reads them, with their neighbours", () => {
  const entries = [
    { name: "10.jpg", isDirectory: false }, { name: "2.jpg", isDirectory: false },
    { name: "B.png", isDirectory: false }, { name: "a.PNG", isDirectory: false },
    { name: "notes.txt", isDirectory: false }, { name: "sub.jpg", isDirectory: true },
    { name: ".jpg", isDirectory: false }, { name: 7 }, null,
  ];
  const names = P.folderImages(entries);
  assert.deepEqual(names, ["2.jpg", "10.jpg", "a.PNG", "B.png"]);
  assert.deepEqual(P.neighbours(names, "2.jpg"), { previous: null, next: "10.jpg" });
  assert.deepEqual(P.neighbours(names, "a.PNG"), { previous: "10.jpg", next: "B.png" });
  assert.deepEqual(P.neighbours(names, "B.png"), { previous: "a.PNG", next: null });
  assert.deepEqual(P.neighbours(names, "gone.png"), { previous: null, next: null });
  assert.deepEqual(P.folderImages({ error: "x" }), []);
  assert.equal(P.folderOf("/a/b.png"), "/a");
  assert.equal(P.folderOf("/b.png"), "/");
  assert.equal(P.joinPath("/", "b.png"), "/b.png");
});
