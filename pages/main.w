<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Pelmora</title>
</head>
<body>
<h1>Pelmora</h1>
<p id="status">Starting…</p>
<script>
  // The host injects the bridge (window.__zrk__) before this script runs. The main window starts
  // hidden, so the page shows it once it has loaded.
  (function () {
    var meta = window.__zrk_internals__ && window.__zrk_internals__.metadata;
    var win = meta && meta.currentWindow;
    document.getElementById('status').textContent = window.__zrk__ ? 'Ready.' : 'No bridge.';
    if (win && typeof win.show === 'function') win.show();
  })();
</script>
</body>
</html>
