
  // ---- Notifications ---------------------------------------------------------------------------

  // Replaces the page's Notification with one that sends each notification to the native side; the
  // new constructor has a permission state of its own, which only requestPermission changes.
  function initNotification() {
    const permission = { value: "default", writable: false };

    function Notification(title, options) {
      const record = options || {};
      record.title = title;
      if (typeof record.handler === "function") {
        const id = transformCallback(record.handler, true);
        delete record.handler;
        record.handler = String(id);
      }
      Object.freeze(record);
      invoke("plugin:notification|notify", { options: record }).catch(function (failure) {
        console.error(failure);
      });
    }

    Notification.requestPermission = async function () {
      const delivered = await invokeWithHandler("plugin:notification|request_permission");
      const value = delivered === "prompt" || delivered === "prompt-with-rationale" ? "default" : delivered;
      permission.writable = true;
      try {
        globalObject.Notification.permission = value;
      } finally {
        permission.writable = false;
      }
      return delivered;
    };

    Object.defineProperty(Notification, "permission", {
      enumerable: true,
      configurable: false,
      get: function () {
        return permission.value;
      },
      set: function (value) {
        if (!permission.writable) {
          throw new Error("Readonly property");
        }
        permission.value = value;
      },
    });

    globalObject.Notification = Notification;
    return undefined;
  }

  async function isPermissionGranted() {
    const permission = globalObject.Notification.permission;
    if (permission !== "default") {
      return permission === "granted";
    }
    return invokeWithHandler("plugin:notification|is_permission_granted");
  }

  async function requestPermission() {
    return globalObject.Notification.requestPermission();
  }

  function sendNotification(notification) {
    const Constructor = globalObject.Notification;
    if (typeof notification === "string") {
      new Constructor(notification);
    } else {
      new Constructor(notification.title, notification);
    }
    return undefined;
  }

  exportValue("notification", "init", initNotification);
  exportValue("notification", "isPermissionGranted", isPermissionGranted);
  exportValue("notification", "requestPermission", requestPermission);
  exportValue("notification", "sendNotification", sendNotification);
