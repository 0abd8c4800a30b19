<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Pelmora - Viewer</title>
<link rel="stylesheet" href="pelmora.css">
</head>
<body data-state="loading">
<div class="tools">
  <button id="previous" hidden>Previous</button>
  <button id="next" hidden>Next</button>
  <button id="fit">Fit</button>
  <button id="actual">1:1</button>
  <button id="zoomOut">−</button>
  <button id="zoomIn">+</button>
  <span id="name"></span>
</div>
<div class="stage" id="stage"><img id="image" alt=""></div>
<p id="status"></p>
<script src="pelmora.js"></script>
<script>
  // Shows one image of a file or folder, fitted at device pixels, and walks through its folder.
  (function () {
    "use strict";
    const P = window.Pelmora;
    const base = P.baseUrl();
    const stage = document.getElementById("stage");
    const image = document.getElementById("image");
    let folder = null;
    let names = [];
    let current = null;  // { path, info }
    let scale = null;    // null: fitted; else image pixels per device pixel

    function showFailure(text) {
      image.removeAttribute("src");
      P.setState("error", text);
    }

    // Device pixels the image takes at the current scale, never more than it has.
    function targetSize(info) {
      const dpr = window.devicePixelRatio || 1;
      const w = info.orientedWidth || info.width;
      const h = info.orientedHeight || info.height;
      let s = scale;
      if (s === null) {
        s = Math.min(1, (stage.clientWidth * dpr) / w, (stage.clientHeight * dpr) / h);
      }
      // Beyond 1:1 the browser enlarges the full-size image.
      const fetched = Math.min(1, s);
      return { width: Math.max(1, Math.round(w * fetched)), height: Math.max(1, Math.round(h * fetched)),
        shownWidth: Math.max(1, Math.round(w * s)), shownHeight: Math.max(1, Math.round(h * s)),
        dpr: dpr, scale: s };
    }

    function render() {
      if (!current) return;
      const info = current.info;
      const size = targetSize(info);
      const alpha = info.nchannels === 2 || info.nchannels === 4;
      stage.classList.toggle("scroll", scale !== null);
      image.style.width = size.shownWidth / size.dpr + "px";
      image.style.height = size.shownHeight / size.dpr + "px";
      P.setState("loading", "");
      image.onload = function () {
        document.body.dataset.width = String(info.orientedWidth || info.width);
        document.body.dataset.height = String(info.orientedHeight || info.height);
        document.body.dataset.scale = String(size.scale);
        P.setState("loaded", "");
      };
      image.onerror = function () {
        fetch(image.src).then(P.failureText).then(showFailure, function (e) { showFailure(String(e)); });
      };
      image.src = P.thumbnailUrl(base, current.path, size.width, size.height, alpha);
    }

    function updateWalk() {
      const near = current ? P.neighbours(names, P.fileName(current.path)) : { previous: null, next: null };
      const prev = document.getElementById("previous");
      const next = document.getElementById("next");
      prev.hidden = next.hidden = folder === null || names.length < 2;
      prev.disabled = !near.previous;
      next.disabled = !near.next;
    }

    async function show(path) {
      try {
        const info = await P.imageInfo(base, path);
        current = { path: path, info: info };
        document.getElementById("name").textContent = P.fileName(path);
        document.title = P.fileName(path) + " - Pelmora";
        document.body.dataset.file = path;
        render();
      } catch (e) {
        current = null;
        showFailure(String(e && e.message || e));
      }
      updateWalk();
    }

    async function listFolder(path) {
      try {
        return P.folderImages(await P.plugin("fs", "read_dir", { path: path }));
      } catch (e) {
        return null;
      }
    }

    async function start() {
      const file = P.fileFromAddress(location.href);
      if (!file) {
        showFailure("No file was given.");
        return;
      }
      // A folder shows its first image.
      const inside = await listFolder(file);
      if (inside !== null) {
        folder = file;
        names = inside;
        if (!names.length) {
          showFailure("The folder holds no images.");
          updateWalk();
          return;
        }
        await show(P.joinPath(folder, names[0]));
        return;
      }
      const listed = await listFolder(P.folderOf(file));
      if (listed !== null) {
        folder = P.folderOf(file);
        names = listed;
      }
      await show(file);
    }

    function step(which) {
      if (!current || folder === null) return;
      const near = P.neighbours(names, P.fileName(current.path));
      if (near[which]) {
        scale = null;
        show(P.joinPath(folder, near[which]));
      }
    }

    document.getElementById("previous").onclick = function () { step("previous"); };
    document.getElementById("next").onclick = function () { step("next"); };
    document.getElementById("fit").onclick = function () { scale = null; render(); };
    document.getElementById("actual").onclick = function () { scale = 1; render(); };
    document.getElementById("zoomIn").onclick = function () {
      if (current) { scale = Math.min(8, targetSize(current.info).scale * 1.25); render(); }
    };
    document.getElementById("zoomOut").onclick = function () {
      if (current) { scale = Math.max(0.02, targetSize(current.info).scale / 1.25); render(); }
    };
    document.addEventListener("keydown", function (e) {
      if (e.key === "ArrowLeft") step("previous");
      if (e.key === "ArrowRight") step("next");
    });
    let resizeTimer = 0;
    window.addEventListener("resize", function () {
      clearTimeout(resizeTimer);
      resizeTimer = setTimeout(function () { if (scale === null) render(); }, 150);
    });
    start();
  })();
</script>
</body>
</html>
