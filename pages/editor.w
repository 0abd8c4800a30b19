<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Pelmora - Editor</title>
<link rel="stylesheet" href="pelmora.css">
</head>
<body data-state="loading">
<div class="tools">
  <button id="rotateLeft">Rotate left</button>
  <button id="rotateRight">Rotate right</button>
  <button id="flipHorizontal">Flip ↔</button>
  <button id="flipVertical">Flip ↕</button>
  <button id="save" disabled>Save</button>
  <input type="text" id="saveAsPath" placeholder="Save as: path" spellcheck="false">
  <button id="saveAs">Save as</button>
  <button id="cancel" hidden>Cancel</button>
</div>
<div class="stage" id="stage"><img id="image" alt=""></div>
<p id="status"></p>
<script src="pelmora.js"></script>
<script>
  // Rotates and flips an image: previewed at once, written by Save (JPEG: its orientation tag
  // only; other formats: turned pixels) or Save as (another format: a conversion that can be
  // cancelled).
  (function () {
    "use strict";
    const P = window.Pelmora;
    const base = P.baseUrl();
    const stage = document.getElementById("stage");
    const image = document.getElementById("image");
    const file = P.fileFromAddress(location.href);
    let info = null;
    let edits = [];
    let stamp = 0;
    let busy = false;

    function extensionOf(path) {
      const name = P.fileName(path);
      const dot = name.lastIndexOf(".");
      return dot > 0 ? name.slice(dot + 1).toLowerCase() : "";
    }

    function isJpeg(format) {
      return format === "jpeg" || format === "jpg";
    }

    function preview() {
      const edit = P.editOrientation(edits);
      const dpr = window.devicePixelRatio || 1;
      const w = info.orientedWidth || info.width;
      const h = info.orientedHeight || info.height;
      const swapped = P.swapsSides(edit);
      const shownW = swapped ? h : w;
      const shownH = swapped ? w : h;
      const s = Math.min(1, (stage.clientWidth * dpr) / shownW, (stage.clientHeight * dpr) / shownH);
      // The element keeps the unturned size; the transform turns it into the shown box.
      image.style.width = (w * s) / dpr + "px";
      image.style.height = (h * s) / dpr + "px";
      image.style.transform = P.cssMatrix(edit);
      document.getElementById("save").disabled = busy || edit === 1;
      document.body.dataset.edit = String(edit);
    }

    // Reads the file afresh; once its image is shown the page's state becomes `doneState`.
    async function load(doneState, doneText) {
      if (!file) {
        P.setState("error", "No file was given.");
        return;
      }
      try {
        info = await P.imageInfo(base, file);
      } catch (e) {
        P.setState("error", String(e && e.message || e));
        return;
      }
      edits = [];
      const dpr = window.devicePixelRatio || 1;
      const w = info.orientedWidth || info.width;
      const h = info.orientedHeight || info.height;
      const s = Math.min(1, (Math.max(stage.clientWidth, stage.clientHeight) * dpr) / Math.min(w, h));
      const alpha = info.nchannels === 2 || info.nchannels === 4;
      image.onload = function () {
        document.body.dataset.orientation = String(info.orientation || 1);
        P.setState(doneState || "loaded", doneText || "");
      };
      image.onerror = function () {
        fetch(image.src).then(P.failureText).then(function (t) { P.setState("error", t); });
      };
      stamp += 1;
      image.src = P.thumbnailUrl(base, file, w * s, h * s, alpha, Date.now() + "-" + stamp);
      document.title = P.fileName(file) + " - Pelmora";
      preview();
    }

    // Writes the edits into `dest` (the file itself when equal).
    async function writeEdits(source, dest, format) {
      const edit = P.editOrientation(edits);
      if (edit === 1) return;
      if (isJpeg(format) && source === dest) {
        await P.imagePost(base, { action: "modify_orientation", source: source,
          orientation: P.composeOrientation(info.orientation || 1, edit) });
      } else {
        await P.imagePost(base, { action: "transform", source: source, dest: dest,
          transform: P.transformNumber(edit) });
      }
    }

    function setBusy(on, text) {
      busy = on;
      document.getElementById("save").disabled = true;
      for (const id of ["rotateLeft", "rotateRight", "flipHorizontal", "flipVertical", "saveAs"]) {
        document.getElementById(id).disabled = on;
      }
      if (info) preview();
      if (on) P.setState("saving", text || "");
    }

    async function save() {
      setBusy(true, "Saving …");
      try {
        await writeEdits(file, file, info.format);
        setBusy(false);
        // The image reloads under a fresh query value, so no cached copy shows the old picture.
        await load("saved", "Saved.");
      } catch (e) {
        setBusy(false);
        P.setState("error", String(e && e.message || e));
      }
    }

    let jobId = null;
    async function saveAs() {
      const dest = document.getElementById("saveAsPath").value.trim();
      if (!dest) {
        P.setState("error", "Type the path to save to.");
        return;
      }
      setBusy(true, "Saving …");
      const cancel = document.getElementById("cancel");
      try {
        const sameFormat = extensionOf(dest) === extensionOf(file) ||
          (isJpeg(info.format) && ["jpg", "jpeg"].indexOf(extensionOf(dest)) >= 0);
        if (sameFormat && P.editOrientation(edits) !== 1) {
          await writeEdits(file, dest, "");
        } else {
          jobId = "editor-" + Date.now();
          cancel.hidden = false;
          // The copy shows what the original shows, whether or not its format keeps an
          // orientation tag.
          await P.imagePost(base, { action: "convert", src: file, dst: dest, cancelable: true,
            jid: jobId, config: { orient: true } });
          cancel.hidden = true;
          jobId = null;
          await writeEdits(dest, dest, "");
        }
        setBusy(false);
        edits = [];
        preview();
        P.setState("saved", "Saved as " + dest + ".");
      } catch (e) {
        cancel.hidden = true;
        jobId = null;
        setBusy(false);
        P.setState("error", String(e && e.message || e));
      }
    }

    for (const name of Object.keys(P.EDITS)) {
      document.getElementById(name).onclick = function () {
        if (!info || busy) return;
        edits.push(name);
        preview();
      };
    }
    document.getElementById("save").onclick = save;
    document.getElementById("saveAs").onclick = saveAs;
    document.getElementById("cancel").onclick = function () {
      if (jobId) P.imagePost(base, { action: "cancel", jid: jobId }).catch(function () {});
    };
    window.addEventListener("resize", function () { if (info) preview(); });
    load();
  })();
</script>
</body>
</html>
