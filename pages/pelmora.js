// What the four pages share: the file named in the page's address, the endpoints of the program,
// orientation arithmetic for the editor, and a folder's images in order for the viewer.
(function (root) {
  "use strict";

  // ---- Paths in addresses ---------------------------------------------------------------------

  // Characters the program leaves as they are when it puts a path into a page address; every
  // other byte of the UTF-8 text becomes "%" and two upper-case hexadecimal digits ("+" too).
  const KEPT = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~#&/:;=?@";

  function encodePath(path) {
    const bytes = new TextEncoder().encode(String(path));
    let out = "";
    for (const b of bytes) {
      const c = String.fromCharCode(b);
      if (b < 0x80 && KEPT.indexOf(c) >= 0) {
        out += c;
      } else {
        out += "%" + b.toString(16).toUpperCase().padStart(2, "0");
      }
    }
    return out;
  }

  // The file of a page address: everything after the first "?file=", percent-decoded, "+" kept,
  // so "#", "&" and "?" in a name survive. Null without "?file=" or for a bad escape.
  function fileFromAddress(href) {
    const at = String(href).indexOf("?file=");
    if (at < 0) return null;
    try {
      return decodeURIComponent(String(href).slice(at + 6));
    } catch (e) {
      return null;
    }
  }

  function fileName(path) {
    const parts = String(path).split("/");
    return parts[parts.length - 1] || path;
  }

  function folderOf(path) {
    const at = String(path).lastIndexOf("/");
    return at <= 0 ? "/" : path.slice(0, at);
  }

  function joinPath(folder, name) {
    return folder.endsWith("/") ? folder + name : folder + "/" + name;
  }

  // ---- Endpoints --------------------------------------------------------------------------------

  function baseUrl() {
    const internals = root.__zrk_internals__;
    return (internals && internals.baseUrl) || "";
  }

  // The "/thumbnail" handler decodes its path twice, so the path is encoded twice. Option bit 0x1
  // turns the image as its orientation says; 0x2 asks for PNG (which keeps alpha).
  function thumbnailUrl(base, path, width, height, png, stamp) {
    let url = base + "/thumbnail?path=" + encodeURIComponent(encodeURIComponent(path)) +
      "&width=" + Math.max(1, Math.round(width)) + "&height=" + Math.max(1, Math.round(height)) +
      "&option=" + (png ? 3 : 1);
    if (stamp !== undefined) url += "&nocache=&v=" + encodeURIComponent(String(stamp));
    return url;
  }

  // The text a failed reply carries: its body, else its reason header, else its status.
  async function failureText(response) {
    let text = "";
    try {
      text = await response.text();
    } catch (e) {
      text = "";
    }
    const reason = response.headers && response.headers.get && response.headers.get("X-Error-Reason");
    return (text || reason || response.statusText || "HTTP " + response.status).trim();
  }

  async function imageInfo(base, path) {
    const response = await fetch(base + "/getimage?action=info&path=" + encodeURIComponent(path),
      { cache: "no-store" });
    if (!response.ok) throw new Error(await failureText(response));
    return response.json();
  }

  function base64Json(value) {
    const bytes = new TextEncoder().encode(JSON.stringify(value));
    let binary = "";
    for (const b of bytes) binary += String.fromCharCode(b);
    return btoa(binary);
  }

  // A "/getimage" POST; its options in the header, its answer's body as text. A codec failure
  // comes back as status 200 with "false": that is an error here too.
  async function imagePost(base, options, body) {
    const response = await fetch(base + "/getimage", {
      method: "POST",
      headers: { "zrk-image-options": base64Json(options) },
      body: body === undefined ? "" : body,
    });
    if (!response.ok) throw new Error(await failureText(response));
    const text = (await response.text()).trim();
    if (text === "false") {
      throw new Error(response.headers.get("X-Error-Reason") || "The image could not be written.");
    }
    return text;
  }

  // A plugin command through the bridge.
  function plugin(name, command, payload) {
    const internals = root.__zrk_internals__;
    if (!internals || !internals.invoke) return Promise.reject(new Error("No bridge."));
    return internals.invoke("plugin:" + name + "|" + command, payload || {});
  }

  // ---- Orientation ------------------------------------------------------------------------------

  // EXIF orientations 1..8 as the 2x2 matrices that turn the stored image into the shown one
  // (x to the right, y downwards): [a, b, c, d] maps (x, y) to (a x + b y, c x + d y).
  const ORIENTATIONS = {
    1: [1, 0, 0, 1],
    2: [-1, 0, 0, 1],
    3: [-1, 0, 0, -1],
    4: [1, 0, 0, -1],
    5: [0, 1, 1, 0],
    6: [0, -1, 1, 0],
    7: [0, -1, -1, 0],
    8: [0, 1, -1, 0],
  };
  // The edits, as orientations of the shown image.
  const EDITS = { rotateRight: 6, rotateLeft: 8, flipHorizontal: 2, flipVertical: 4 };
  // The codec's transform numbers for a net edit, by the orientation that edit amounts to.
  const TRANSFORMS = { 1: 0, 2: 4, 3: 2, 4: 5, 5: 6, 6: 1, 7: 7, 8: 3 };

  function multiply(m, n) {
    return [m[0] * n[0] + m[1] * n[2], m[0] * n[1] + m[1] * n[3],
      m[2] * n[0] + m[3] * n[2], m[2] * n[1] + m[3] * n[3]];
  }

  function orientationOf(matrix) {
    for (const key of Object.keys(ORIENTATIONS)) {
      const m = ORIENTATIONS[key];
      if (m.every(function (v, i) { return v === matrix[i]; })) return Number(key);
    }
    return 1;
  }

  // The orientation that shows `first` applied, then `then` (both 1..8; others count as 1).
  function composeOrientation(first, then) {
    const a = ORIENTATIONS[first] || ORIENTATIONS[1];
    const b = ORIENTATIONS[then] || ORIENTATIONS[1];
    return orientationOf(multiply(b, a));
  }

  // The net orientation of a list of edit names, applied in order.
  function editOrientation(edits) {
    let result = 1;
    for (const name of edits) result = composeOrientation(result, EDITS[name] || 1);
    return result;
  }

  function transformNumber(orientation) {
    return TRANSFORMS[orientation] || 0;
  }

  // A CSS transform showing the orientation.
  function cssMatrix(orientation) {
    const m = ORIENTATIONS[orientation] || ORIENTATIONS[1];
    return "matrix(" + m[0] + "," + m[2] + "," + m[1] + "," + m[3] + ",0,0)";
  }

  function swapsSides(orientation) {
    return orientation >= 5 && orientation <= 8;
  }

  // ---- Folders ----------------------------------------------------------------------------------

  const IMAGE_EXTENSIONS = ["jpg", "jpeg", "png", "gif", "bmp", "webp", "tif", "tiff", "heic",
    "heif", "avif", "jxl", "exr", "hdr", "tga", "psd", "ico", "jp2", "dds", "pnm", "ppm", "pgm"];

  function isImageName(name) {
    const dot = String(name).lastIndexOf(".");
    return dot > 0 && IMAGE_EXTENSIONS.indexOf(name.slice(dot + 1).toLowerCase()) >= 0;
  }

  const collator = typeof Intl === "object" ?
    new Intl.Collator(undefined, { numeric: true, sensitivity: "base" }) : null;

  // The image files of a "read_dir" answer, in the order a person expects ("2.jpg" before
  // "10.jpg", case aside; equal names by their code units).
  function folderImages(entries) {
    const names = (Array.isArray(entries) ? entries : [])
      .filter(function (e) { return e && !e.isDirectory && typeof e.name === "string" && isImageName(e.name); })
      .map(function (e) { return e.name; });
    names.sort(function (a, b) {
      const c = collator ? collator.compare(a, b) : 0;
      return c !== 0 ? c : (a < b ? -1 : a > b ? 1 : 0);
    });
    return names;
  }

  // The neighbours of `name` in `names`: { previous, next }, null at the ends.
  function neighbours(names, name) {
    const at = names.indexOf(name);
    if (at < 0) return { previous: null, next: null };
    return { previous: at > 0 ? names[at - 1] : null, next: at < names.length - 1 ? names[at + 1] : null };
  }

  // ---- Page state -------------------------------------------------------------------------------

  function setState(state, detail) {
    if (typeof document === "undefined") return;
    document.body.dataset.state = state;
    const status = document.getElementById("status");
    if (status) status.textContent = detail || "";
  }

  function showCurrentWindow() {
    const zrk = root.__zrk__;
    if (!zrk || !zrk.window || !zrk.window.Window) return Promise.resolve(false);
    return zrk.window.Window.getCurrent().show().then(function () { return true; }, function () { return false; });
  }

  const Pelmora = {
    encodePath, fileFromAddress, fileName, folderOf, joinPath, baseUrl, thumbnailUrl, failureText,
    imageInfo, imagePost, plugin, composeOrientation, editOrientation, transformNumber, cssMatrix,
    swapsSides, isImageName, folderImages, neighbours, setState, showCurrentWindow, EDITS,
  };
  root.Pelmora = Pelmora;
  if (typeof module === "object" && module.exports) module.exports = Pelmora;
})(typeof window === "object" ? window : globalThis);
