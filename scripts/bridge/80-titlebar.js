
  // ---- Custom title bar ------------------------------------------------------------------------

  // A window without a native title bar but with a title-bar rectangle gets a bar drawn by its
  // first webview's page: icon box, title and the minimize, maximize and close buttons.

  const TITLEBAR_BUTTONS = ["minimize", "maximize", "close"];
  const DEFAULT_BUTTON_TITLES = { minimize: "Minimize", maximize: "Maximize", restore: "Restore", close: "Close" };

  function svgIcon(viewBox, path) {
    const svg =
      "<svg xmlns='http://www.w3.org/2000/svg' viewBox='" + viewBox + "'>" +
      "<path fill='black' fill-rule='evenodd' d='" + path + "'/></svg>";
    const encoded = svg.replace(/</g, "%3C").replace(/>/g, "%3E").replace(/#/g, "%23");
    return 'url("data:image/svg+xml,' + encoded + '")';
  }

  const TITLEBAR_ICONS = {
    close: svgIcon(
      "0 0 12 12",
      "M2.146 2.854L9.146 9.854A.5 .5 0 0 0 9.854 9.146L2.854 2.146A.5 .5 0 0 0 2.146 2.854Z" +
        "M9.146 2.146L2.146 9.146A.5 .5 0 0 0 2.854 9.854L9.854 2.854A.5 .5 0 0 0 9.146 2.146Z"
    ),
    minimize: svgIcon("0 0 12 12", "M2.5 5.5h7a.5 .5 0 0 1 0 1h-7a.5 .5 0 0 1 0-1z"),
    maximize: svgIcon(
      "0 0 16 16",
      "M4.5 3h7A1.5 1.5 0 0 1 13 4.5v7a1.5 1.5 0 0 1-1.5 1.5h-7A1.5 1.5 0 0 1 3 11.5v-7A1.5 1.5 0 0 1 4.5 3z" +
        "M4.5 4A.5 .5 0 0 0 4 4.5v7a.5 .5 0 0 0 .5 .5h7a.5 .5 0 0 0 .5-.5v-7a.5 .5 0 0 0-.5-.5z"
    ),
    restore: svgIcon(
      "0 0 20 20",
      "M4.5 5h8A2.5 2.5 0 0 1 15 7.5v8a2.5 2.5 0 0 1-2.5 2.5h-8A2.5 2.5 0 0 1 2 15.5v-8A2.5 2.5 0 0 1 4.5 5z" +
        "M4.5 6A1.5 1.5 0 0 0 3 7.5v8A1.5 1.5 0 0 0 4.5 17h8a1.5 1.5 0 0 0 1.5-1.5v-8A1.5 1.5 0 0 0 12.5 6z" +
        "M5 5a3 3 0 0 1 3-3h6a4 4 0 0 1 4 4v8.5a.5 .5 0 0 1-1 0V6a3 3 0 0 0-3-3H8a2 2 0 0 0-2 2z"
    ),
  };

  const BAR = ".__zrk_titlebar";
  const BUTTONS = BAR + " .sys-buttons";
  const BUTTON = BUTTONS + " .sysbtn";
  const ICON_SPAN = BUTTON + " .sysbtn-icon";

  // The bar's style sheet for a bar height such as "40px".
  function titlebarStyleSheet(height) {
    const rules = [];
    rules.push(
      BAR + " {\n" +
        "  width: 100%;\n" +
        "  box-sizing: border-box;\n" +
        "  position: absolute;\n" +
        "  left: 0;\n" +
        "  top: 0;\n" +
        "  z-index: 999999;\n" +
        "  display: flex;\n" +
        "  flex-direction: var(--titlebar-direction, row);\n" +
        "  align-items: center;\n" +
        "  height: var(--titlebar-height, " + height + ");\n" +
        "  color: var(--titlebar-color, rgb(20,20,20));\n" +
        "  background: rgba(255,255,255,0.3);\n" +
        "  -webkit-user-select: none;\n" +
        "  user-select: none;\n" +
        "  transition: color ease-in-out 0.3s;\n" +
        "}",
      BAR + " .sys-icon {\n" +
        "  width: var(--titlebar-sysicon-size, 20px);\n" +
        "  height: var(--titlebar-sysicon-size, 20px);\n" +
        "  background-image: var(--titlebar-sysicon);\n" +
        "  background-repeat: no-repeat;\n" +
        "  background-position: 50% 50%;\n" +
        "  background-size: contain;\n" +
        "  margin: var(--titlebar-sysicon-margin);\n" +
        "  order: var(--titlebar-sysicon-order);\n" +
        "  display: var(--titlebar-sysicon-display);\n" +
        "}",
      BAR + " .sys-title {\n" +
        "  flex-grow: 1;\n" +
        "  white-space: nowrap;\n" +
        "  overflow: hidden;\n" +
        "  text-overflow: ellipsis;\n" +
        "  font-size: var(--titlebar-font-size, 16px);\n" +
        "  padding: var(--titlebar-padding, 0px 0 0 10px);\n" +
        "  order: var(--titlebar-title-order);\n" +
        "  text-align: var(--titlebar-title-align);\n" +
        "}",
      BUTTONS + " {\n" +
        "  display: flex;\n" +
        "  flex-direction: var(--titlebar-button-direction, row);\n" +
        "  gap: var(--titlebar-buttons-gap);\n" +
        "  padding: var(--titlebar-buttons-padding);\n" +
        "  order: var(--titlebar-buttons-order);\n" +
        "}",
      BUTTON + " {\n" +
        "  width: var(--titlebar-sysbtn-size, " + height + ");\n" +
        "  height: var(--titlebar-sysbtn-size, " + height + ");\n" +
        "  border: var(--titlebar-sysbtn-border);\n" +
        "  border-radius: var(--titlebar-sysbtn-radius, 0.125rem);\n" +
        "  overflow: hidden;\n" +
        "  display: flex;\n" +
        "  align-items: center;\n" +
        "  justify-content: center;\n" +
        "  pointer-events: auto;\n" +
        "}",
      BUTTON + ":hover {\n" + "  background-color: var(--titlebar-sysbtn-hover-bg);\n" + "}",
      ICON_SPAN + " {\n" +
        "  display: inline-block;\n" +
        "  width: var(--titlebar-btn-icon-size, 18px);\n" +
        "  height: var(--titlebar-btn-icon-size, 18px);\n" +
        "  background-color: currentColor;\n" +
        "  -webkit-mask-image: var(--titlebar-sysbtn-svg);\n" +
        "  mask-image: var(--titlebar-sysbtn-svg);\n" +
        "  -webkit-mask-repeat: no-repeat;\n" +
        "  mask-repeat: no-repeat;\n" +
        "  -webkit-mask-size: 100% 100%;\n" +
        "  mask-size: 100% 100%;\n" +
        "  pointer-events: none;\n" +
        "}"
    );
    for (const name of TITLEBAR_BUTTONS) {
      rules.push(
        ICON_SPAN + ".sys-" + name + " {\n" +
          "  --titlebar-sysbtn-svg: var(--titlebar-sysbtn-" + name + "-svg);\n" +
          "  order: var(--titlebar-sysbtn-" + name + "-order);\n" +
          "}",
        "html[platform=windows] " + ICON_SPAN + ".sys-" + name + " {\n" +
          "  --titlebar-sysbtn-" + name + "-svg: var(--titlebar-sysbtn-" + name + "-svg-custom, " +
          TITLEBAR_ICONS[name] + ");\n" +
          "}"
      );
    }
    rules.push(
      "html[platform=windows] " + BUTTON + ":hover {\n" +
        "  --titlebar-sysbtn-hover-bg: var(--titlebar-sysbtn-hover-bg-custom, rgba(220,220,220,0.5));\n" +
        "}",
      "html[platform=windows] " + BUTTON + ".sys-close:hover {\n" +
        "  --titlebar-sysbtn-hover-bg: var(--titlebar-sysbtn-close-hover-bg-custom, rgba(240,0,0, 1.0));\n" +
        "  color: var(--titlebar-sysbtn-close-hover-color, white);\n" +
        "}",
      "html[platform=windows][state=maximized] " + ICON_SPAN + ".sys-maximize {\n" +
        "  --titlebar-sysbtn-maximize-svg: var(--titlebar-sysbtn-maximize-svg-custom, " +
        TITLEBAR_ICONS.restore + ") !important;\n" +
        "}",
      "html[platform=windows][state=maximized] " + BAR + " {\n" +
        "  padding: var(--titlebar-max-padding, 0 0 0 10px);\n" +
        "}",
      "html[inactive] " + BAR + " {\n" + "  color: var(--titlebar-inactive-color, rgb(140,140,140));\n" + "}",
      "html[platform=macos] " + BAR + " {\n" + "  --titlebar-direction: row-reverse !important;\n" + "}",
      "html[platform=macos] " + BAR + " .sys-icon {\n" + "  --titlebar-sysicon-display: none;\n" + "}",
      "html[platform=macos] " + BAR + " .sys-title {\n" + "  --titlebar-title-align: center;\n" + "}",
      "html[platform=macos] " + BUTTONS + " {\n" +
        "  --titlebar-button-direction: row-reverse !important;\n" +
        "  display: var(--titlebar-buttons-display, none);\n" +
        "}",
      'html[minimizable="0"] ' + BUTTON + ".sys-minimize,\n" +
        'html[maximizable="0"] ' + BUTTON + ".sys-maximize,\n" +
        'html[closable="0"] ' + BUTTON + ".sys-close {\n" +
        "  display: none !important;\n" +
        "}"
    );
    return rules.join("\n") + "\n";
  }

  // The bar height from the tbrect attribute, in pixels; null when there is no usable one.
  function titlebarHeight(tbrect) {
    let rect;
    try {
      rect = JSON.parse(tbrect);
    } catch (e) {
      return null;
    }
    const height = Array.isArray(rect) ? rect[3] : undefined;
    return typeof height === "number" && Number.isFinite(height) && height >= 0 ? height : null;
  }

  function reportTitlebarFailure(failure) {
    console.error(failure);
  }

  function setupWindowTitlebar() {
    const root = document.documentElement;
    const titleOverrides = new Map();
    let built = false;

    function sysButtonTitle(name) {
      if (!Object.prototype.hasOwnProperty.call(DEFAULT_BUTTON_TITLES, name)) {
        return undefined;
      }
      const override = titleOverrides.get(name);
      return override === null || override === undefined ? DEFAULT_BUTTON_TITLES[name] : override;
    }

    function setSysButtonTitle(name, text) {
      titleOverrides.set(name, text);
    }

    function updateMaximizeButtonTitle() {
      const state = root.getAttribute("state");
      let name;
      if (state === "maximized" || state === "restore") {
        name = "restore";
      } else if (state === null) {
        name = "maximize";
      } else {
        return;
      }
      const button = document.querySelector(BUTTON + ".sys-maximize");
      if (button) {
        button.setAttribute("title", sysButtonTitle(name));
      }
    }

    function currentWindow(zrk) {
      return zrk.window.getCurrent();
    }

    function attachTitlebar(bar, zrk) {
      document.body.prepend(bar);
      const actions = {
        close: async function (w) {
          await w.close();
        },
        minimize: async function (w) {
          await w.minimize();
        },
        maximize: async function (w) {
          if (await w.isMaximized()) {
            await w.unmaximize();
          } else {
            await w.maximize();
          }
        },
      };
      for (const name of ["close", "minimize", "maximize"]) {
        const button = document.querySelector(BUTTON + ".sys-" + name);
        if (button) {
          button.addEventListener("click", function (event) {
            event.preventDefault();
            Promise.resolve()
              .then(function () {
                return actions[name](currentWindow(zrk));
              })
              .catch(reportTitlebarFailure);
          });
        }
      }
      globalObject.dispatchEvent(new Event("titlebar-ready"));
      document.dispatchEvent(new Event("titlebar-ready"));
      const titleElement = document.querySelector("title");
      if (titleElement) {
        new MutationObserver(function () {
          const title = document.querySelector(BAR + " .sys-title");
          if (title) {
            title.innerText = document.title;
          }
        }).observe(titleElement, { subtree: true, characterData: true, childList: true });
      } else {
        console.warn('Missed "title" tag.');
      }
    }

    // Builds the bar once per document, where the window asks for one.
    function buildTitlebar() {
      if (built || !root.hasAttribute("tbrect") || root.getAttribute("vid") !== "0") {
        return;
      }
      const height = titlebarHeight(root.getAttribute("tbrect"));
      if (height === null) {
        console.error("[ZRK] no title bar: unusable tbrect " + root.getAttribute("tbrect"));
        return;
      }
      built = true;
      const zrk = globalObject.__zrk__;

      const style = document.createElement("style");
      style.textContent = titlebarStyleSheet(height + "px");
      (document.head || root).appendChild(style);

      const bar = document.createElement("div");
      bar.classList.add("__zrk_titlebar", "__zrk_titlebar_extra");
      const icon = document.createElement("div");
      icon.classList.add("sys-icon");
      const title = document.createElement("div");
      title.classList.add("sys-title");
      title.innerText = document.title;
      bar.appendChild(icon);
      bar.appendChild(title);

      const group = document.createElement("div");
      group.classList.add("sys-buttons");
      group.addEventListener("mouseup", function (event) {
        if (event.button === 2) {
          event.preventDefault();
          event.stopPropagation();
        }
      });
      for (const name of TITLEBAR_BUTTONS) {
        const button = document.createElement("div");
        button.classList.add("sysbtn", "sys-" + name);
        button.setAttribute("title", sysButtonTitle(name));
        group.appendChild(button);
        const span = document.createElement("span");
        span.classList.add("sysbtn-icon", "sys-" + name);
        button.appendChild(span);
      }
      bar.appendChild(group);
      bar.addEventListener("contextmenu", function (event) {
        event.preventDefault();
        event.stopPropagation();
      });
      bar.addEventListener("dblclick", function (event) {
        const target = event.target;
        if (!target || isNativeContextMenuExcluded(target)) {
          return;
        }
        Promise.resolve()
          .then(function () {
            return currentWindow(zrk).toggleMaximize();
          })
          .catch(reportTitlebarFailure);
      });

      if (document.body) {
        attachTitlebar(bar, zrk);
      } else {
        const onReady = function () {
          if (document.readyState === "interactive") {
            document.removeEventListener("readystatechange", onReady);
            attachTitlebar(bar, zrk);
          }
        };
        document.addEventListener("readystatechange", onReady);
      }
    }

    new MutationObserver(updateMaximizeButtonTitle).observe(root, { attributes: true, attributeFilter: ["state"] });
    if (root.hasAttribute("tbrect")) {
      buildTitlebar();
    }
    // Every completed navigation sends the event again, and pages may send it too: the build
    // acts once.
    globalObject.addEventListener("zrk-page-updated", buildTitlebar);
    updateMaximizeButtonTitle();

    const zrk = globalObject.__zrk__;
    zrk.setSysCloseTitle = function (text) {
      setSysButtonTitle("close", text);
    };
    zrk.setSysMaximizeTitle = function (text) {
      setSysButtonTitle("maximize", text);
    };
    zrk.setSysMinimizeTitle = function (text) {
      setSysButtonTitle("minimize", text);
    };
    zrk.setSysRestoreTitle = function (text) {
      setSysButtonTitle("restore", text);
    };
  }

  // Sets up the title bar once per document (where there is a document) and the mouse forwarding.
  function initializeWindowTitlebar() {
    const zrk = globalObject && globalObject.__zrk__;
    const hasDocument =
      typeof document !== "undefined" && !!document && typeof MutationObserver === "function";
    if (zrk && hasDocument && !zrk.isTitlebarSetup) {
      zrk.isTitlebarSetup = true;
      if (document.documentElement) {
        setupWindowTitlebar();
      } else {
        const observer = new MutationObserver(function () {
          if (document.documentElement) {
            observer.disconnect();
            setupWindowTitlebar();
          }
        });
        observer.observe(document, { childList: true, subtree: true });
      }
    }
    setupMouseForwarding();
    return undefined;
  }
