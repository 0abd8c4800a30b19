
  // ---- Geometry values and monitors ------------------------------------------------------------

  class LogicalSize {
    constructor(width, height) {
      this.type = "Logical";
      this.width = width;
      this.height = height;
    }

    toPhysical(scaleFactor) {
      return new PhysicalSize(this.width * scaleFactor, this.height * scaleFactor);
    }
  }

  class PhysicalSize {
    constructor(width, height) {
      this.type = "Physical";
      this.width = width;
      this.height = height;
    }

    toLogical(scaleFactor) {
      return new LogicalSize(this.width / scaleFactor, this.height / scaleFactor);
    }
  }

  class LogicalPosition {
    constructor(x, y) {
      this.type = "Logical";
      this.x = x;
      this.y = y;
    }

    toPhysical(scaleFactor) {
      return new PhysicalPosition(this.x * scaleFactor, this.y * scaleFactor);
    }
  }

  class PhysicalPosition {
    constructor(x, y) {
      this.type = "Physical";
      this.x = x;
      this.y = y;
    }

    toLogical(scaleFactor) {
      return new LogicalPosition(this.x / scaleFactor, this.y / scaleFactor);
    }
  }

  const HIT_AREA = { Caption: 1, Client: 2, Border: 3, Other: 99 };
  HIT_AREA[1] = "Caption";
  HIT_AREA[2] = "Client";
  HIT_AREA[3] = "Border";
  HIT_AREA[99] = "Other";

  const UserAttentionType = { Critical: 1, Informational: 2 };
  UserAttentionType[1] = "Critical";
  UserAttentionType[2] = "Informational";

  const ProgressBarStatus = {
    None: "none",
    Normal: "normal",
    Indeterminate: "indeterminate",
    Paused: "paused",
    Error: "error",
  };

  // What an onWillClose handler receives.
  class WillCloseEvent {
    constructor(eventData) {
      this._preventDefault = false;
      this.event = eventData.event;
      this.id = eventData.id;
    }

    preventDefault() {
      this._preventDefault = true;
    }

    isPreventDefault() {
      return this._preventDefault;
    }
  }

  function toPhysicalSize(record) {
    return new PhysicalSize(record.width, record.height);
  }

  function toPhysicalPosition(record) {
    return new PhysicalPosition(record.x, record.y);
  }

  function toMonitor(reply) {
    if (reply === null) {
      return null;
    }
    return {
      name: reply.name,
      size: toPhysicalSize(reply.size),
      position: toPhysicalPosition(reply.position),
      scaleFactor: reply.scaleFactor,
    };
  }

  async function primaryMonitor() {
    return toMonitor(await invoke("plugin:window|primary_monitor"));
  }

  async function monitorFromPoint(x, y) {
    return toMonitor(await invoke("plugin:window|monitor_from_point", { x: x, y: y }));
  }

  async function availableMonitors() {
    const reply = await invoke("plugin:window|available_monitors");
    return reply.map(toMonitor);
  }

  async function currentMonitor() {
    return toMonitor(await invoke("plugin:window|current_monitor"));
  }

  async function cursorPosition() {
    return toPhysicalPosition(await invoke("plugin:window|cursor_position"));
  }

  exportGetter("window", "HIT_AREA", function () {
    return HIT_AREA;
  });
  exportGetter("window", "UserAttentionType", function () {
    return UserAttentionType;
  });
  exportGetter("window", "ProgressBarStatus", function () {
    return ProgressBarStatus;
  });
  exportValue("window", "WillCloseEvent", WillCloseEvent);
  exportValue("window", "availableMonitors", availableMonitors);
  exportValue("window", "currentMonitor", currentMonitor);
  exportValue("window", "cursorPosition", cursorPosition);
  exportValue("window", "monitorFromPoint", monitorFromPoint);
  exportValue("window", "primaryMonitor", primaryMonitor);
