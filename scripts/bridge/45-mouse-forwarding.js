
  // ---- Mouse forwarding ------------------------------------------------------------------------

  // A window without a native title bar is dragged, and opens its system menu, through the mouse
  // messages that its page posts to the native window.
  const mouseListeningFlags = { leftdown: true, leftup: true, rightdown: true, rightup: true, move: false };

  function IsListeningMouse(name) {
    return Object.prototype.hasOwnProperty.call(mouseListeningFlags, name) ? mouseListeningFlags[name] : undefined;
  }

  function ListenMouse(name) {
    mouseListeningFlags[name] = true;
  }

  function UnlistenMouse(name) {
    mouseListeningFlags[name] = false;
  }

  function postMouseMessage(type, event) {
    globalObject.ipc.postMessage({ type: type, x: event.clientX, y: event.clientY });
  }

  function onForwardedMouseDown(event) {
    if (!IsListeningMouse("leftdown") && !IsListeningMouse("rightdown")) {
      return;
    }
    const target = event.target;
    if (target && target.classList && target.classList.contains("sysbtn")) {
      return;
    }
    if (event.button === 0) {
      postMouseMessage("mouse-ldown", event);
    } else if (event.button === 2) {
      postMouseMessage("mouse-rdown", event);
    }
  }

  function onForwardedMouseMove(event) {
    if (IsListeningMouse("move")) {
      postMouseMessage("mouse-move", event);
    }
  }

  function onForwardedMouseUp(event) {
    if (!IsListeningMouse("leftup") && !IsListeningMouse("rightup")) {
      return;
    }
    if (event.button === 0) {
      postMouseMessage("mouse-lup", event);
    } else if (event.button === 2) {
      postMouseMessage("mouse-rup", event);
    }
  }

  // Once per document: when the page's window has no title bar, the document's mouse presses,
  // moves and releases are forwarded.
  function setupMouseForwarding() {
    const zrk = globalObject.__zrk__;
    if (zrk === undefined || zrk.listening !== undefined || typeof document === "undefined") {
      return undefined;
    }
    zrk.listening = true;
    console.warn("listening to first window create.");
    async function start() {
      try {
        const current = globalObject.__zrk__.window.getCurrent();
        const hasTitleBar = await current.hasTitleBar();
        if (hasTitleBar === false) {
          console.warn("has title bar?", false);
          document.addEventListener("mousedown", onForwardedMouseDown);
          document.addEventListener("mousemove", onForwardedMouseMove);
          document.addEventListener("mouseup", onForwardedMouseUp);
        }
      } catch (e) {
        console.error(e);
      }
    }
    if (document.readyState === undefined || document.readyState === "loading") {
      document.addEventListener("DOMContentLoaded", start);
    } else {
      start();
    }
    return undefined;
  }

  exportValue("window", "IsListeningMouse", IsListeningMouse);
  exportValue("window", "ListenMouse", ListenMouse);
  exportValue("window", "UnlistenMouse", UnlistenMouse);
