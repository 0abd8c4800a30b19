
  // ---- Namespace object ------------------------------------------------------------------------

  exports.event = buildNamespace("event");
  exports.initializeWindowTitlebar = initializeWindowTitlebar;
  exports.menu = buildNamespace("menu");
  exports.notification = buildNamespace("notification");
  exports.webview = buildNamespace("webview");
  exports.window = buildNamespace("window");
  return exports;
})({});
window.__zrk__ = __ZRK_IIFE__;
window.__zrk__.initializeWindowTitlebar();
