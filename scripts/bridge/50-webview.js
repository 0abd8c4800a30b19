
  // ---- Webviews --------------------------------------------------------------------------------

  const WEBVIEW_LOCAL_EVENTS = ["zrk://created", "zrk://error"];

  const AutoResizingMask = {
    None: 0,
    MinXMargin: 1,
    WidthResizable: 2,
    MaxXMargin: 4,
    MaxYMargin: 8,
    HeightResizable: 16,
    MinYMargin: 32,
  };
  for (const name of Object.keys(AutoResizingMask)) {
    AutoResizingMask[AutoResizingMask[name]] = name;
  }

  function getCurrentWebview() {
    return new Webview(getCurrentWindow(), windowMetadata().currentWebview.label, { skip: true });
  }

  function getAllWebviews() {
    return windowMetadata().webviews.map(function (record) {
      return new Webview(Window.getByLabel(record.windowLabel), record.label, { skip: true });
    });
  }

  function windowLabelOf(webview) {
    return webview.window === null || webview.window === undefined ? undefined : webview.window.label;
  }

  class Webview {
    // Unless `options.skip`, asks the native side for a new webview in `window`; the outcome
    // arrives as the page-local event "zrk://created" or "zrk://error".
    constructor(window, label, options) {
      this.label = label;
      this.window = window;
      this.listeners = Object.create(null);
      if (options !== null && typeof options === "object" && options.skip) {
        return;
      }
      const webview = this;
      invoke("plugin:webview|create", { windowLabel: window.label, label: label, options: options })
        .then(function (created) {
          webview.label = created;
          return webview.emit("zrk://created", { label: created });
        })
        .catch(function (reason) {
          return webview.emit("zrk://error", reason);
        })
        .catch(reportFailure);
    }

    static getByLabel(windowLabel, label) {
      return (
        getAllWebviews().find(function (w) {
          return windowLabelOf(w) === windowLabel && w.label === label;
        }) || null
      );
    }

    static getCurrent() {
      return getCurrentWebview();
    }

    static getAll(windowLabel) {
      const all = getAllWebviews();
      if (!windowLabel) {
        return all;
      }
      return all.filter(function (w) {
        return w.window !== null && w.window !== undefined && w.window.label === windowLabel;
      });
    }

    async listen(event, handler) {
      if (this._handlerZrkEvent(event, handler)) {
        return localRemover(this.listeners, event, handler);
      }
      return listen(event, handler, { target: { kind: "Webview", label: this.label } });
    }

    async once(event, handler) {
      if (WEBVIEW_LOCAL_EVENTS.indexOf(event) >= 0) {
        const listeners = this.listeners;
        const wrapper = oneShotHandler(listeners, event, handler);
        addLocalHandler(listeners, event, wrapper);
        return localRemover(listeners, event, wrapper);
      }
      return once(event, handler, { target: { kind: "Webview", label: this.label } });
    }

    async emit(event, payload) {
      if (WEBVIEW_LOCAL_EVENTS.indexOf(event) < 0) {
        return emit(event, payload);
      }
      emitLocal(this.listeners, event, payload);
      return undefined;
    }

    // A page-local event reaches this object's handlers and goes to the native side as well.
    async emitTo(target, event, payload) {
      if (WEBVIEW_LOCAL_EVENTS.indexOf(event) >= 0) {
        emitLocal(this.listeners, event, payload);
      }
      return emitTo(target, event, payload);
    }

    _handlerZrkEvent(event, handler) {
      if (WEBVIEW_LOCAL_EVENTS.indexOf(event) < 0) {
        return false;
      }
      addLocalHandler(this.listeners, event, handler);
      return true;
    }

    async _invoke(cmd, payload) {
      return invoke(
        "plugin:webview|" + cmd,
        Object.assign({ label: this.label, windowLabel: windowLabelOf(this) }, payload)
      );
    }

    async position() {
      return toPhysicalPosition(await this._invoke("get_position", { label: this.label }));
    }

    async size() {
      return toPhysicalSize(await this._invoke("get_size", { label: this.label }));
    }

    async setSize(size) {
      checkGeometry(size, SIZE_MESSAGE);
      return this._invoke("set_size", { label: this.label, value: typedValue(size, ["width", "height"]) });
    }

    async setPosition(position) {
      checkGeometry(position, "invalid position value. must be a LogicalPosition or a PhysicalPosition instance");
      return this._invoke("set_position", { label: this.label, value: typedValue(position, ["x", "y"]) });
    }

    async close() {
      return this._invoke("close", { label: this.label });
    }

    async isDevToolsEnabled() {
      return this._invoke("is_devtools_enabled", { label: this.label });
    }

    async showDevTools() {
      return this._invoke("show_devtools", { label: this.label });
    }

    async closeDevTools() {
      return this._invoke("close_devtools", { label: this.label });
    }

    async isDevToolsVisible() {
      return this._invoke("is_devtools_visible", { label: this.label });
    }

    async cancelRequests(urls) {
      return this._invoke("cancel_requests", { label: this.label, urls: urls });
    }

    // Red, green, blue (0-255) and alpha (0-1), or one object with r, g, b and a.
    async setBackgroundColor(r, g, b, a) {
      if (typeof r === "object") {
        const colour = r;
        g = colour.g;
        b = colour.b;
        a = colour.a;
        r = colour.r;
      } else {
        if (g === null || g === undefined) {
          g = 255;
        }
        if (b === null || b === undefined) {
          b = 255;
        }
        if (a === null || a === undefined) {
          a = 1;
        }
      }
      console.log(r, g, b, a);
      const alpha = Math.min(255, Math.ceil(255 * a));
      const argb = (r << 16) | (g << 8) | b | (alpha << 24);
      return this._invoke("set_background_color", { label: this.label, argb: argb });
    }

    async getBackgroundColor() {
      const argb = await this._invoke("get_background_color", { label: this.label });
      return new Color((argb >> 16) & 255, (argb >> 8) & 255, argb & 255, (argb >>> 24) / 255);
    }
  }

  exportGetter("webview", "AutoResizingMask", function () {
    return AutoResizingMask;
  });
  exportValue("webview", "Webview", Webview);
  exportValue("webview", "getAll", function () {
    return getAllWebviews();
  });
  exportValue("webview", "getCurrent", getCurrentWebview);
