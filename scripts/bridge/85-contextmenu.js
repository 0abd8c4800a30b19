
  // ---- Native context menu ---------------------------------------------------------------------

  // Tests the element, and with the upward flag its ancestors up to and including body.
  function matchElement(element, upward, test) {
    let current = element;
    while (current) {
      if (test(current)) {
        return true;
      }
      if (current.tagName === "BODY" || !upward) {
        return false;
      }
      current = current.parentElement;
    }
    return false;
  }

  function matchId(element, id, upward) {
    return matchElement(element, upward, function (e) {
      return e.id === id;
    });
  }

  function matchAttribute(element, name, upward) {
    return matchElement(element, upward, function (e) {
      return typeof e.hasAttribute === "function" && e.hasAttribute(name);
    });
  }

  function matchClass(element, name, upward) {
    return matchElement(element, upward, function (e) {
      return !!e.classList && e.classList.contains(name);
    });
  }

  // Whether the page keeps the browser's context menu, and the title bar's double click, for the
  // element: "#id", "$attribute" or a class name, each with "*" in front to include ancestors.
  function isNativeContextMenuExcluded(element) {
    let excludes = globalObject.__zrk__ && globalObject.__zrk__.nativeContextMenuExcludes;
    if (typeof excludes === "string") {
      excludes = [excludes];
    }
    if (!excludes || !excludes.length) {
      return false;
    }
    for (let entry of excludes) {
      if (typeof entry !== "string") {
        continue;
      }
      let upward = false;
      if (entry.charAt(0) === "*") {
        entry = entry.slice(1);
        upward = true;
      }
      let matched;
      if (entry.charAt(0) === "#") {
        matched = matchId(element, entry.slice(1), upward);
      } else if (entry.charAt(0) === "$") {
        matched = matchAttribute(element, entry.slice(1), upward);
      } else {
        matched = matchClass(element, entry, upward);
      }
      if (matched) {
        return true;
      }
    }
    return false;
  }

  function onDocumentContextMenu(event) {
    const target = event.target;
    const onTitlebar = !!(target && target.classList && target.classList.contains("__zrk_titlebar"));
    const zrk = globalObject.__zrk__;
    if (!(zrk && zrk.isNativeContextMenuDisabled) && !onTitlebar) {
      return;
    }
    if (!target) {
      return;
    }
    if (isNativeContextMenuExcluded(target)) {
      return;
    }
    event.preventDefault();
    event.stopPropagation();
    event.stopImmediatePropagation();
  }

  if (typeof document !== "undefined" && document && typeof document.addEventListener === "function") {
    document.addEventListener("contextmenu", onDocumentContextMenu);
  }
