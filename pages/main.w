<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Pelmora</title>
<link rel="stylesheet" href="pelmora.css">
</head>
<body data-state="starting">
<div class="tools">
  <input type="text" id="path" placeholder="Path of an image or a folder" spellcheck="false">
  <button id="view">View</button>
  <button id="edit">Edit</button>
  <button id="print">Print</button>
</div>
<div class="stage"><p>Type the path of an image, then view, edit or print it.</p></div>
<p id="status"></p>
<script src="pelmora.js"></script>
<script>
  // The main window starts hidden: this page shows it. Each button opens a window for the file
  // with the options, label and address the program gives its own file windows.
  (function () {
    "use strict";
    const P = window.Pelmora;
    const KINDS = {
      view: { page: "viewer.w", title: "Pelmora - Viewer", identifier: "photo-viewer", label: "viewer" },
      edit: { page: "editor.w", title: "Pelmora - Editor", identifier: "editor", label: "editor" },
      print: { page: "print.w", title: "Print Image", identifier: "print-dialog", label: "print" },
    };
    let opened = 0;

    async function open(action) {
      const path = document.getElementById("path").value.trim();
      if (!path) {
        P.setState("error", "Type a path first.");
        return;
      }
      const kind = KINDS[action];
      const zrk = window.__zrk__;
      if (!zrk || !zrk.window) {
        P.setState("error", "No bridge.");
        return;
      }
      opened += 1;
      const win = new zrk.window.Window(kind.label + "_" + opened, {
        // The window plugin takes the address as it is: a page name alone would name no page.
        url: new URL(".", location.href).href + kind.page + "?file=" + P.encodePath(path),
        title: kind.title,
        identifier: kind.identifier,
        width: 1024, height: 900, center: true, resizable: true, visible: true,
        maximizable: true, minimizable: true, closable: true,
        useDocumentTitle: false, hiddenTitle: true,
        titleBarRect: { x: 0, y: 0, width: 0, height: 40 },
      });
      P.setState("opening", "Opening " + path + " …");
      try {
        const made = await win.create();
        P.setState(made ? "opened" : "error", made ? "Opened " + win.label + "." : "The window could not be made.");
        document.body.dataset.opened = made ? win.label : "";
      } catch (e) {
        P.setState("error", String(e && e.message || e));
      }
    }

    for (const action of Object.keys(KINDS)) {
      document.getElementById(action).addEventListener("click", function () { open(action); });
    }
    document.getElementById("path").addEventListener("keydown", function (e) {
      if (e.key === "Enter") open("view");
    });
    P.showCurrentWindow().then(function (shown) {
      P.setState(shown ? "ready" : "error", shown ? "" : "The window could not be shown.");
    });
  })();
</script>
</body>
</html>
