
  // ---- Windows ---------------------------------------------------------------------------------

  const SIZE_MESSAGE = "invalid size. must be a LogicalSize or a Physical instance";
  const MOVE_SIZE_MESSAGE = "invalid size. must be a LogicalSize or a PhysicalSize instance";
  const MOVE_POSITION_MESSAGE = "invalid pos. must be a LogicalPosition or a PhysicalPosition instance";
  const POSITION_MESSAGE = "invalid position. must be a LogicalPosition or a Physical instance";

  // A size or position is anything with the type "Logical" or "Physical"; the class is not tested.
  function checkGeometry(value, message) {
    if (!value || (value.type !== "Logical" && value.type !== "Physical")) {
      throw new Error(message);
    }
  }

  // { <type>: { <the two numbers> } }: how the setters send a size or a position.
  function typedValue(value, keys) {
    const numbers = {};
    for (const key of keys) {
      numbers[key] = value[key];
    }
    const record = {};
    record[value.type] = numbers;
    return record;
  }

  function reportFailure(failure) {
    console.error(failure);
  }

  // Page-local events: handler lists kept inside a window or webview object.
  function addLocalHandler(listeners, event, handler) {
    if (!listeners[event]) {
      listeners[event] = [];
    }
    listeners[event].push(handler);
  }

  function removeLocalHandler(listeners, event, handler) {
    const list = listeners[event];
    const at = list ? list.indexOf(handler) : -1;
    if (at >= 0) {
      list.splice(at, 1);
    }
  }

  // The remover of one registration: it takes one entry of the handler out, at its first call only,
  // so that calling it twice never removes another registration of the same function.
  function localRemover(listeners, event, handler) {
    let done = false;
    return async function () {
      if (!done) {
        done = true;
        removeLocalHandler(listeners, event, handler);
      }
    };
  }

  // A handler that runs at most once: it leaves the list before it is called.
  function oneShotHandler(listeners, event, handler) {
    const wrapper = function (eventData) {
      removeLocalHandler(listeners, event, wrapper);
      return handler(eventData);
    };
    return wrapper;
  }

  // Calls the handlers registered at the start of the delivery, in order; a handler that throws
  // ends the delivery.
  function emitLocal(listeners, event, payload) {
    const list = listeners[event];
    if (!list) {
      return;
    }
    for (const handler of list.slice()) {
      handler({ event: event, id: -1, payload: payload });
    }
  }

  const WINDOW_LOCAL_EVENTS = ["zrk://created", "zrk://error", "zrk://show", "zrk://hide"];
  const SCALED_OPTIONS = ["x", "y", "width", "height", "minWidth", "maxWidth", "minHeight", "maxHeight"];

  // Creation options come in logical pixels; the native side takes physical ones.
  async function scaleCreationOptions(options) {
    if (!options) {
      return options;
    }
    const info = globalObject.__sysinfo__;
    if (info?.os === "macos") {
      return options;
    }
    const monitor =
      options.x !== null && options.x !== undefined && options.y !== null && options.y !== undefined
        ? await monitorFromPoint(options.x, options.y)
        : await primaryMonitor();
    const factor = (monitor ? monitor.scaleFactor : globalObject.devicePixelRatio) || 1;
    for (const key of SCALED_OPTIONS) {
      if (options[key]) {
        options[key] = options[key] * factor;
      }
    }
    return options;
  }

  function windowMetadata() {
    return globalObject.__zrk_internals__.metadata;
  }

  function getCurrentWindow() {
    return new Window(windowMetadata().currentWindow.label, { skip: true });
  }

  function getAllWindows() {
    return windowMetadata().windows.map(function (record) {
      return new Window(record.label, { skip: true });
    });
  }

  class Window {
    constructor(label, options) {
      if (options === undefined) {
        options = {};
      }
      this._options = null;
      this._created = false;
      this.label = label;
      this.listeners = Object.create(null);
      if (!options?.skip) {
        this._options = Object.assign({}, options);
      }
    }

    static getByLabel(label) {
      return (
        getAllWindows().find(function (w) {
          return w.label === label;
        }) || null
      );
    }

    static getAll() {
      return getAllWindows();
    }

    static getCurrent() {
      return getCurrentWindow();
    }

    // Resolves with true once the window exists, with false when the native side refused it; a
    // refused creation may be tried again.
    async create() {
      if (this._created) {
        return true;
      }
      const original = this._options;
      const options = await scaleCreationOptions(Object.assign({}, original || {}));
      const requested = this.label;
      this._created = true;
      this._options = null;
      const createdListener = this.once(ZrkEvent.WINDOW_CREATED, function (eventData) {
        console.warn(eventData);
        globalObject.lastE = eventData;
      });
      createdListener.catch(reportFailure);
      const parent = options.parent;
      let result;
      let failed = false;
      let reason;
      try {
        result = await invoke("plugin:window|create", {
          options: options,
          parent: typeof parent === "string" ? parent : parent?.label,
          label: requested,
        });
      } catch (e) {
        failed = true;
        reason = e;
      }
      if (failed || !result) {
        this._created = false;
        this._options = original;
        createdListener
          .then(function (unlisten) {
            return unlisten();
          })
          .catch(function () {});
      }
      if (failed) {
        result = await this.emit("zrk://error", reason);
      }
      if (result) {
        this.label = result;
        this.emit("zrk://created").catch(reportFailure);
        return true;
      }
      return false;
    }

    _handleZrkEvent(event, handler, once) {
      if (WINDOW_LOCAL_EVENTS.indexOf(event) < 0) {
        return false;
      }
      addLocalHandler(this.listeners, event, once ? oneShotHandler(this.listeners, event, handler) : handler);
      console.log(this.listeners);
      return true;
    }

    async listen(event, handler) {
      if (this._handleZrkEvent(event, handler, false)) {
        return localRemover(this.listeners, event, handler);
      }
      return listen(event, handler, { target: { kind: "Window", label: this.label } });
    }

    async once(event, handler) {
      if (WINDOW_LOCAL_EVENTS.indexOf(event) >= 0) {
        const listeners = this.listeners;
        const wrapper = oneShotHandler(listeners, event, handler);
        addLocalHandler(listeners, event, wrapper);
        console.log(listeners);
        return localRemover(listeners, event, wrapper);
      }
      return once(event, handler, { target: { kind: "Window", label: this.label } });
    }

    async emit(event, payload) {
      if (WINDOW_LOCAL_EVENTS.indexOf(event) < 0) {
        return emit(event, payload);
      }
      emitLocal(this.listeners, event, payload);
      return undefined;
    }

    async emitTo(target, event, payload) {
      if (WINDOW_LOCAL_EVENTS.indexOf(event) < 0) {
        return emitTo(target, event, payload);
      }
      emitLocal(this.listeners, event, payload);
      return undefined;
    }

    async _invoke(cmd, args) {
      return invoke("plugin:window|" + cmd, Object.assign({ label: this.label }, args));
    }

    async close() {
      return this._invoke("close");
    }

    async destroy() {
      return this._invoke("destroy");
    }

    async getParent() {
      return findListedWindow(await this._invoke("parent_window"));
    }

    async getOwner() {
      return findListedWindow(await this._invoke("owner_window"));
    }

    async title(fromOption = false) {
      return this._invoke("title", { from_option: fromOption });
    }

    async isVisible() {
      return this._invoke("is_visible");
    }

    async isClosable() {
      return this._invoke("is_closable");
    }

    async isMinimizable() {
      return this._invoke("is_minimizable");
    }

    async isMaximizable() {
      return this._invoke("is_maximizable");
    }

    async isResizable() {
      return this._invoke("is_resizable");
    }

    async isFocused() {
      return this._invoke("is_focused");
    }

    async isMaximized() {
      return this._invoke("is_maximized");
    }

    async isMinimized() {
      return this._invoke("is_minimized");
    }

    async isFullScreen() {
      return this._invoke("is_fullscreen");
    }

    async isValid() {
      return this._invoke("is_valid");
    }

    async setEnabled(enabled) {
      this._invoke("set_enabled", { enabled: enabled }).catch(reportFailure);
    }

    async isEnabled() {
      return this._invoke("is_enabled");
    }

    async isActivated() {
      return this._invoke("is_activated");
    }

    async activate() {
      this._invoke("activate").catch(reportFailure);
    }

    async hasTitleBar() {
      return this._invoke("has_title_bar");
    }

    async outerSize() {
      return toPhysicalSize(await this._invoke("outer_size"));
    }

    async innerSize() {
      return toPhysicalSize(await this._invoke("inner_size"));
    }

    async outerPosition() {
      return toPhysicalPosition(await this._invoke("outer_position"));
    }

    async innerPosition() {
      return toPhysicalPosition(await this._invoke("inner_position"));
    }

    async scaleFactor() {
      return this._invoke("scale_factor");
    }

    async deviceScaleFactor() {
      return this._invoke("device_scale_factor");
    }

    async center(toScreen = false) {
      return this._invoke("center", { to_screen: toScreen });
    }

    async centerParent() {
      return this._invoke("center_to_parent");
    }

    async setResizable(resizable) {
      return this._invoke("set_resizable", { resizable: resizable });
    }

    async setMaximizable(maximizable) {
      return this._invoke("set_maximizable", { maximizable: maximizable });
    }

    async setMinimizable(minimizable) {
      return this._invoke("set_minimizable", { minimizable: minimizable });
    }

    async setClosable(closable) {
      return this._invoke("set_closable", { closable: closable });
    }

    async setTitle(title) {
      return this._invoke("set_title", { title: title });
    }

    async maximize() {
      return this._invoke("maximize");
    }

    async unmaximize() {
      return this._invoke("unmaximize");
    }

    async toggleMaximize() {
      return this._invoke("toggle_maximize");
    }

    async minimize() {
      return this._invoke("minimize");
    }

    async unminimize() {
      return this._invoke("unminimize");
    }

    // The page-local event goes out during the call, before the native side has answered.
    async show() {
      const reply = this._invoke("show");
      this.emit("zrk://show").catch(reportFailure);
      return reply;
    }

    async hide() {
      const reply = this._invoke("hide");
      this.emit("zrk://hide").catch(reportFailure);
      return reply;
    }

    async isRestored() {
      return this._invoke("is_restored");
    }

    async showModal() {
      const reply = this._invoke("show_modal");
      this.emit("zrk://show").catch(reportFailure);
      return reply;
    }

    async bringToTop() {
      return this._invoke("bring_to_top");
    }

    async isAtTop() {
      return this._invoke("is_at_top");
    }

    async excludeFromTaskbar(exclude) {
      return this._invoke("exclude_from_taskbar", { exclude: exclude });
    }

    async isExcludedFromTaskbar() {
      return this._invoke("is_excluded_from_taskbar");
    }

    // With `center`, the window takes the new size around its present centre.
    async setSize(size, center = false, animated = true) {
      checkGeometry(size, SIZE_MESSAGE);
      if (center) {
        if (size.type === "Logical") {
          size = new LogicalSize(size.width, size.height).toPhysical(globalObject.devicePixelRatio);
        }
        const position = await this.outerPosition();
        const outer = await this.outerSize();
        const centreX = position.x + outer.width / 2;
        const centreY = position.y + outer.height / 2;
        return this.move(new PhysicalPosition(centreX - size.width / 2, centreY - size.height / 2), size, animated);
      }
      return this._invoke("set_size", { value: typedValue(size, ["width", "height"]), animated: animated });
    }

    async move(position, size, animated = false) {
      checkGeometry(size, MOVE_SIZE_MESSAGE);
      checkGeometry(position, MOVE_POSITION_MESSAGE);
      return this._invoke("move", { pos: position, size: size, animated: animated });
    }

    async setMinSize(size) {
      checkGeometry(size, SIZE_MESSAGE);
      return this._invoke("set_min_size", { value: typedValue(size, ["width", "height"]) });
    }

    async setMaxSize(size) {
      checkGeometry(size, SIZE_MESSAGE);
      return this._invoke("set_max_size", { value: typedValue(size, ["width", "height"]) });
    }

    async setPosition(position) {
      checkGeometry(position, POSITION_MESSAGE);
      return this._invoke("set_position", { value: typedValue(position, ["x", "y"]) });
    }

    async getTitleBarRect() {
      return this._invoke("titlebar_rect");
    }

    async setFullscreen(fullscreen) {
      return this._invoke("set_fullscreen", { fullscreen: fullscreen });
    }

    async setFocus() {
      return this._invoke("set_focus");
    }

    async setAlwaysOnTop(alwaysOnTop) {
      return this._invoke("set_always_on_top", { alwaysOnTop: alwaysOnTop });
    }

    async setAlwaysAtBottom(alwaysAtBottom) {
      return this._invoke("set_always_at_bottom", { alwaysAtBottom: alwaysAtBottom });
    }

    async setContentProtected(contentProtected) {
      return this._invoke("set_content_protected", { label: this.label, contentProtected: contentProtected });
    }

    async theme() {
      return this._invoke("theme");
    }

    async setTheme(theme, updateView = false) {
      return this._invoke("set_theme", { theme: theme, updateView: updateView });
    }

    async requestUserAttention(value) {
      return this._invoke("request_user_attention", {
        label: this.label,
        value: value || UserAttentionType.Informational,
      });
    }

    async setCursorPosition(position) {
      checkGeometry(position, POSITION_MESSAGE);
      return this._invoke("set_cursor_position", { label: this.label, value: typedValue(position, ["x", "y"]) });
    }

    async setProgressBar(value) {
      return this._invoke("set_progress_bar", { label: this.label, value: value });
    }

    async setIcon(rid) {
      return this._invoke("set_icon", { rid: rid });
    }

    async setContentEdited(edited) {
      return this._invoke("set_content_edited", { edited: edited });
    }

    async contentEdited() {
      return this._invoke("is_content_edited");
    }

    async onResized(handler) {
      return this.listen(ZrkEvent.WINDOW_RESIZED, function (eventData) {
        eventData.payload = toPhysicalSize(eventData.payload);
        return handler(eventData);
      });
    }

    async onMoved(handler) {
      return this.listen(ZrkEvent.WINDOW_MOVED, function (eventData) {
        eventData.payload = toPhysicalPosition(eventData.payload);
        return handler(eventData);
      });
    }

    // The window closes once the handler is done, unless it called preventDefault.
    async onWillClose(handler) {
      const win = this;
      return this.listen(ZrkEvent.WINDOW_WILL_CLOSE, function (eventData) {
        const closeEvent = new WillCloseEvent(eventData);
        Promise.resolve(handler(closeEvent)).then(
          function () {
            if (!closeEvent.isPreventDefault()) {
              win.destroy().catch(reportFailure);
            }
          },
          function () {}
        );
      });
    }

    async onFocusChanged(handler) {
      const stopFocus = await this.listen(ZrkEvent.WINDOW_FOCUS, function (eventData) {
        return handler(Object.assign({}, eventData, { payload: true }));
      });
      const stopBlur = await this.listen(ZrkEvent.WINDOW_BLUR, function (eventData) {
        return handler(Object.assign({}, eventData, { payload: false }));
      });
      return async function () {
        await stopFocus();
        await stopBlur();
      };
    }

    async onNCMouseDown(handler) {
      return this.listen(ZrkEvent.WINDOW_NCMOUSEDOWN, handler);
    }

    async onNCMouseUp(handler) {
      return this.listen(ZrkEvent.WINDOW_NCMOUSEUP, handler);
    }

    async onThemeChanged(handler) {
      return this.listen(ZrkEvent.WINDOW_THEME_CHANGED, handler);
    }

    async onScaleChanged(handler) {
      return this.listen(ZrkEvent.WINDOW_SCALE_FACTOR_CHANGED, handler);
    }

    async convertToPhysical(value) {
      const factor = await this.scaleFactor();
      return value.toPhysical(factor);
    }

    async convertToLogical(value) {
      const factor = await this.scaleFactor();
      return value.toLogical(factor);
    }
  }

  function findListedWindow(label) {
    if (!label?.length) {
      return null;
    }
    return Window.getByLabel(label);
  }

  async function findWindowByLabel(label) {
    if (label !== undefined && label !== null && label.length === 0) {
      return null;
    }
    const found = await invoke("plugin:window|find", { label: label });
    return found ? new Window(found, { skip: true }) : null;
  }

  async function getSystemTheme() {
    return invoke("plugin:window|get_system_theme");
  }

  exportValue("window", "Window", Window);
  exportValue("window", "findWindowByLabel", findWindowByLabel);
  exportValue("window", "getAll", getAllWindows);
  exportValue("window", "getCurrent", getCurrentWindow);
  exportValue("window", "getSystemTheme", getSystemTheme);
