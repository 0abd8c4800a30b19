<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Print Image</title>
<link rel="stylesheet" href="pelmora.css">
<style id="pageStyle">@page { size: A4 portrait; margin: 10mm; }</style>
</head>
<body data-state="loading">
<div class="tools">
  <select id="printer"><option value="">(default printer)</option></select>
  <select id="paper"></select>
  <select id="orientation">
    <option value="0">Portrait</option>
    <option value="1">Landscape</option>
  </select>
  <button id="print">Print</button>
  <input type="text" id="pdfPath" placeholder="PDF file path" spellcheck="false">
  <button id="pdf">Save as PDF</button>
</div>
<div class="stage" id="stage"><img id="image" alt=""></div>
<p id="status"></p>
<script src="pelmora.js"></script>
<script>
  // Prints an image fitted to the chosen paper, or saves it as a PDF file.
  (function () {
    "use strict";
    const P = window.Pelmora;
    const base = P.baseUrl();
    const image = document.getElementById("image");
    const paperSelect = document.getElementById("paper");
    const file = P.fileFromAddress(location.href);
    // Sizes in millimetres.
    const STANDARD = [{ name: "A4", width: 210, height: 297 }, { name: "Letter", width: 216, height: 279 }];
    let papers = STANDARD.slice();

    function fillPapers(list) {
      papers = list.length ? list : STANDARD.slice();
      paperSelect.innerHTML = "";
      papers.forEach(function (paper, i) {
        const option = document.createElement("option");
        option.value = String(i);
        option.textContent = paper.name + " (" + paper.width + " × " + paper.height + " mm)";
        paperSelect.appendChild(option);
      });
      layout();
    }

    function chosen() {
      const paper = papers[Number(paperSelect.value) || 0] || STANDARD[0];
      const landscape = document.getElementById("orientation").value === "1";
      return { paper: paper, landscape: landscape };
    }

    // The preview and the printed page: the image fitted inside the paper's printable area.
    function layout() {
      const c = chosen();
      const w = c.landscape ? c.paper.height : c.paper.width;
      const h = c.landscape ? c.paper.width : c.paper.height;
      document.getElementById("pageStyle").textContent =
        "@page { size: " + w + "mm " + h + "mm; margin: 10mm; }" +
        "@media print { .stage img { max-width: " + (w - 20) + "mm; max-height: " + (h - 20) + "mm; } }";
      const stage = document.getElementById("stage");
      const scale = Math.min(stage.clientWidth / w, stage.clientHeight / h) * 0.95;
      image.style.maxWidth = (w - 20) * scale + "px";
      image.style.maxHeight = (h - 20) * scale + "px";
    }

    async function loadPrinters() {
      let printers = [];
      try {
        printers = await P.plugin("printer", "list", {});
      } catch (e) {
        printers = [];
      }
      const select = document.getElementById("printer");
      (Array.isArray(printers) ? printers : []).forEach(function (p) {
        const option = document.createElement("option");
        option.value = p.name;
        option.textContent = p.name + (p.default ? " (default)" : "");
        select.appendChild(option);
      });
    }

    async function loadPapers() {
      const printer = document.getElementById("printer").value;
      if (!printer) {
        fillPapers(STANDARD);
        return;
      }
      try {
        const list = await P.plugin("printer", "papers", { printer: printer });
        fillPapers((Array.isArray(list) ? list : []).filter(function (p) {
          return p && p.width > 0 && p.height > 0;
        }).map(function (p) { return { name: p.name, width: p.width, height: p.height }; }));
      } catch (e) {
        fillPapers(STANDARD);
      }
    }

    // The printer's answer: {result: true}, or {result: false, error: {code, message}}.
    function outcomeText(outcome) {
      if (outcome && outcome.result === true) return { ok: true, text: "Done." };
      const error = outcome && outcome.error;
      if (error && typeof error.message === "string" && error.message) return { ok: false, text: error.message };
      return { ok: false, text: JSON.stringify(outcome) };
    }

    async function print(pdfFile) {
      const c = chosen();
      const internals = window.__zrk_internals__;
      if (!internals || !internals.makeCallback) {
        P.setState("error", "No bridge.");
        return;
      }
      P.setState("printing", pdfFile ? "Saving the PDF …" : "Printing …");
      const done = new Promise(function (resolve) {
        const handler = internals.makeCallback(resolve, true);
        const payload = {
          handler: handler,
          paperWidth: c.paper.width,
          paperHeight: c.paper.height,
          orientation: c.landscape ? 1 : 0,
          marginLeft: 10, marginTop: 10, marginRight: 10, marginBottom: 10,
          drawBackground: false,
        };
        const printer = document.getElementById("printer").value;
        if (pdfFile) payload.pdfFile = pdfFile;
        else if (printer) payload.printer = printer;
        P.plugin("printer", "print", payload).catch(function (e) {
          resolve({ result: false, error: { code: 1, message: String(e && e.message || e) } });
        });
      });
      const outcome = outcomeText(await done);
      P.setState(outcome.ok ? "printed" : "error", outcome.text);
    }

    document.getElementById("printer").onchange = loadPapers;
    paperSelect.onchange = layout;
    document.getElementById("orientation").onchange = layout;
    document.getElementById("print").onclick = function () { print(""); };
    document.getElementById("pdf").onclick = function () {
      const path = document.getElementById("pdfPath").value.trim();
      if (!path) P.setState("error", "Type the path of the PDF file.");
      else print(path);
    };
    window.addEventListener("resize", layout);

    fillPapers(STANDARD);
    loadPrinters();
    if (!file) {
      P.setState("error", "No file was given.");
    } else {
      P.imageInfo(base, file).then(function (info) {
        const alpha = info.nchannels === 2 || info.nchannels === 4;
        const w = info.orientedWidth || info.width;
        const h = info.orientedHeight || info.height;
        const s = Math.min(1, 3000 / Math.max(w, h));
        image.onload = function () { P.setState("loaded", ""); };
        image.src = P.thumbnailUrl(base, file, w * s, h * s, alpha);
        document.title = "Print " + P.fileName(file);
      }, function (e) {
        P.setState("error", String(e && e.message || e));
      });
    }
  })();
</script>
</body>
</html>
