
  // ---- Events ----------------------------------------------------------------------------------

  const ZrkEvent = {
    WINDOW_RESIZED: "zrk://resize",
    WINDOW_MOVED: "zrk://move",
    WINDOW_WILL_CLOSE: "zrk://will-close",
    WINDOW_DESTROYED: "zrk://destroyed",
    WINDOW_FOCUS: "zrk://focus",
    WINDOW_BLUR: "zrk://blur",
    WINDOW_CREATED: "zrk://window-created",
    WEBVIEW_CREATED: "zrk://webview-created",
    WINDOW_THEME_CHANGED: "zrk://theme-changed",
    WINDOW_SCALE_FACTOR_CHANGED: "zrk://scale-changed",
    WINDOW_NCMOUSEDOWN: "zrk://nc-mousedown",
    WINDOW_NCMOUSEUP: "zrk://nc-mouseup",
    DRAG: "zrk://drag",
    DROP: "zrk://drop",
    DROP_OVER: "zrk://drop-over",
    DROP_CANCELLED: "zrk://drop-cancelled",
    ALERT_ALTERNATE_CLICKED: "zrk://alert-alternate-clicked",
    DIRECTORY_CHANGED: "zrk://directory-changed",
    MENUITEM_CLICKED: "zrk://menuitem-clicked",
  };

  function listenTarget(options) {
    const target = options === undefined || options === null ? undefined : options.target;
    if (typeof target === "string") {
      return { kind: "AnyLabel", label: target };
    }
    if (target !== undefined && target !== null) {
      return target;
    }
    return { kind: "Any" };
  }

  // Removes one native listener at most once: listener ids are handed out again once freed, so a
  // second request could remove somebody else's listener. A request that failed may be retried.
  function makeListenerRemover(event) {
    let pending = null;
    return function remove(eventId) {
      if (pending === null) {
        pending = invoke("plugin:event|unlisten", { event: event, eventId: eventId }).then(
          function () {
            return undefined;
          },
          function (failure) {
            pending = null;
            throw failure;
          }
        );
      }
      return pending;
    };
  }

  async function registerListener(event, handler, options, remove) {
    const target = listenTarget(options);
    const handlerId = transformCallback(handler, false);
    const eventId = await invoke("plugin:event|listen", { event: event, target: target, handler: handlerId });
    return async function unlisten() {
      await remove(eventId);
    };
  }

  async function listen(event, handler, options) {
    return registerListener(event, handler, options, makeListenerRemover(event));
  }

  // The handler runs at the first delivery only; the listener is removed after it, also when the
  // handler throws.
  async function once(event, handler, options) {
    const remove = makeListenerRemover(event);
    let fired = false;
    function onceHandler(eventData) {
      if (fired) {
        return undefined;
      }
      fired = true;
      try {
        return handler(eventData);
      } finally {
        remove(eventData.id).catch(function () {});
      }
    }
    return registerListener(event, onceHandler, options, remove);
  }

  async function emit(event, payload) {
    await invoke("plugin:event|emit", { event: event, payload: payload });
  }

  async function emitTo(target, event, payload) {
    const record = typeof target === "string" ? { kind: "AnyLabel", label: target } : target;
    await invoke("plugin:event|emit_to", { target: record, event: event, payload: payload });
  }

  exportGetter("event", "ZrkEvent", function () {
    return ZrkEvent;
  });
  exportValue("event", "emit", emit);
  exportValue("event", "emitTo", emitTo);
  exportValue("event", "listen", listen);
  exportValue("event", "once", once);
