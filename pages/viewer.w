<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Pelmora – Viewer</title>
</head>
<body>
<h1>Viewer</h1>
<p id="file"></p>
<script>
  // The host injects the bridge (window.__zrk__) before this script runs; the file to work on
  // comes in the query ("?file=<path>").
  (function () {
    var file = new URLSearchParams(location.search).get('file') || '';
    document.getElementById('file').textContent = file;
    document.title = (file ? file + ' – ' : '') + 'Pelmora';
    if (!window.__zrk__) console.warn('no bridge');
  })();
</script>
</body>
</html>
