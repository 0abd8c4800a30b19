
  // ---- Custom title bar ------------------------------------------------------------------------

  // Sets up what a window without a native title bar needs in this document.
  function initializeWindowTitlebar() {
    setupMouseForwarding();
    return undefined;
  }
