
  // ---- Menu items and images -------------------------------------------------------------------

  // A menu object inside a list of entries: its resource id and kind name.
  function menuReference(object) {
    return [object.rid, object.kind];
  }

  // An item spec ready to be sent: an action becomes a channel (with the once flag) that receives
  // the item's clicks; the entries of a submenu spec are converted in place.
  function injectChannel(spec, once) {
    if ("items" in spec) {
      const items = spec.items;
      spec.items =
        items === null || items === undefined
          ? undefined
          : items.map(function (entry) {
              return "rid" in entry ? menuReference(entry) : injectChannel(entry, once);
            });
      return spec;
    }
    if ("action" in spec && spec.action) {
      const channel = new Channel(once);
      channel.onmessage = spec.action;
      delete spec.action;
      return Object.assign({}, spec, { handler: channel });
    }
    return spec;
  }

  // Creates a native menu object of a kind; resolves with its resource id and id.
  async function newMenu(kind, options) {
    const handler = new Channel();
    let items = null;
    if (options && typeof options === "object") {
      if ("action" in options && options.action) {
        handler.onmessage = options.action;
        delete options.action;
      }
      if ("items" in options && options.items) {
        items = options.items.map(function (entry) {
          return "rid" in entry ? menuReference(entry) : injectChannel(entry);
        });
      }
    }
    return invoke("plugin:menu|new", {
      kind: kind,
      options: options ? Object.assign({}, options, { items: items }) : undefined,
      handler: handler,
    });
  }

  const menuItemId = privateField();
  const menuItemKind = privateField();

  class MenuItemBase extends Resource {
    constructor(rid, id, kind) {
      super(rid);
      menuItemId.set(this, id);
      menuItemKind.set(this, kind);
    }

    get id() {
      return readPrivate(menuItemId, this);
    }

    get kind() {
      return readPrivate(menuItemKind, this);
    }

    async identifier() {
      return invoke("plugin:menu|identifier", { rid: this.rid, kind: this.kind });
    }
  }

  class MenuItem extends MenuItemBase {
    constructor(rid, id, kind) {
      super(rid, id, kind === null || kind === undefined ? "MenuItem" : kind);
    }

    static async new(options) {
      const reply = await newMenu("MenuItem", options);
      return new MenuItem(reply[0], reply[1]);
    }

    async text() {
      return invoke("plugin:menu|text", { rid: this.rid, kind: this.kind });
    }

    async setText(text) {
      return invoke("plugin:menu|set_text", { rid: this.rid, kind: this.kind, text: text });
    }

    async isEnabled() {
      return invoke("plugin:menu|is_enabled", { rid: this.rid, kind: this.kind });
    }

    async setEnabled(enabled) {
      return invoke("plugin:menu|set_enabled", { rid: this.rid, kind: this.kind, enabled: enabled });
    }

    async setAccelerator(accelerator, modifier) {
      const payload = { rid: this.rid, kind: this.kind, accelerator: accelerator };
      if (modifier) {
        payload.modifier = modifier;
      }
      return invoke("plugin:menu|set_accelerator", payload);
    }

    // The native side answers the bare text while the modifier is 0.
    async getAccelerator() {
      const reply = await invoke("plugin:menu|accelerator", { rid: this.rid, kind: this.kind });
      if (typeof reply === "string") {
        return { accelerator: reply, modifier: 0 };
      }
      return reply;
    }
  }

  class CheckMenuItem extends MenuItem {
    constructor(rid, id) {
      super(rid, id, "Check");
    }

    static async new(options) {
      const reply = await newMenu("Check", options);
      return new CheckMenuItem(reply[0], reply[1]);
    }

    async isChecked() {
      return invoke("plugin:menu|is_checked", { rid: this.rid });
    }

    async setChecked(checked) {
      return invoke("plugin:menu|set_checked", { rid: this.rid, checked: checked });
    }
  }

  class IconMenuItem extends MenuItem {
    constructor(rid, id) {
      super(rid, id, "Icon");
    }

    static async new(options) {
      const reply = await newMenu("Icon", options);
      return new IconMenuItem(reply[0], reply[1]);
    }

    async setIcon(icon) {
      return invoke("plugin:menu|set_icon", { rid: this.rid, icon: toImageArgument(icon) });
    }
  }

  class SeparatorMenuItem extends MenuItem {
    constructor(rid, id) {
      super(rid, id, "Separator");
    }

    static async new() {
      const reply = await newMenu("Separator", {});
      return new SeparatorMenuItem(reply[0], reply[1]);
    }
  }

  const KeyModifier = { Shift: 1, Ctrl: 2, CmdAlt: 4, OptWin: 8 };
  KeyModifier[1] = "Shift";
  KeyModifier[2] = "Ctrl";
  KeyModifier[4] = "CmdAlt";
  KeyModifier[8] = "OptWin";

  const NativeIcon = { Add: "Add" };

  // Images held by the webview's resource manager; the icon setter takes them through
  // toImageArgument.
  class NativeImage extends Resource {
    constructor(rid) {
      super(rid);
    }

    async rgba() {
      return new Uint8Array(await invoke("plugin:image|rgba", { rid: this.rid }));
    }

    async size() {
      return invoke("plugin:image|size", { rid: this.rid });
    }

    async type() {
      return invoke("plugin:image|type", { rid: this.rid });
    }

    static async new(rgba, width, height, type, mask) {
      const reply = await invoke("plugin:image|new", {
        rgba: imageBytes(rgba),
        width: width,
        height: height,
        type: type,
        mask: mask,
      });
      return imageFromReply(reply);
    }

    static async newNamed(rgba, width, height, name) {
      const reply = await invoke("plugin:image|new", { rgba: imageBytes(rgba), width: width, height: height, name: name });
      return imageFromReply(reply, name);
    }

    static async fromBytes(bytes, type, mask) {
      return imageFromReply(await invoke("plugin:image|from_bytes", { bytes: imageBytes(bytes), type: type, mask: mask }));
    }

    static async namedFromBytes(bytes, name) {
      return imageFromReply(await invoke("plugin:image|from_bytes", { bytes: imageBytes(bytes), name: name }), name);
    }

    static async fromPath(path, type, mask) {
      return imageFromReply(await invoke("plugin:image|from_path", { path: path, type: type, mask: mask }));
    }

    static async findNamed(name) {
      const rid = parseInt(await invoke("plugin:image|find_byname", { name: name }));
      return rid === 0 ? null : new NamedNativeImage(rid, name);
    }
  }

  class NamedNativeImage extends NativeImage {
    constructor(rid, name) {
      super(rid);
      this._name = name;
    }

    get name() {
      return this._name;
    }
  }

  // A creator's reply is the new image's resource id; 0 means that nothing was made.
  function imageFromReply(reply, name) {
    if (reply == 0) {
      return null;
    }
    const rid = parseInt(String(reply));
    return arguments.length > 1 ? new NamedNativeImage(rid, name) : new NativeImage(rid);
  }

  // Pixel or file bytes for a payload; an absent argument stays absent.
  function imageBytes(value) {
    return value === undefined ? undefined : toImageArgument(value);
  }

  function toImageArgument(value) {
    if (value === null || value === undefined) {
      return null;
    }
    if (typeof value === "string") {
      return value;
    }
    if (value instanceof Uint8Array || value instanceof Uint8ClampedArray) {
      return Array.from(value);
    }
    if (value instanceof ArrayBuffer) {
      return Array.from(new Uint8Array(value));
    }
    if (value instanceof NativeImage) {
      return value.rid;
    }
    return value;
  }

  exportValue("menu", "CheckMenuItem", CheckMenuItem);
  exportValue("menu", "IconMenuItem", IconMenuItem);
  exportGetter("menu", "KeyModifier", function () {
    return KeyModifier;
  });
  exportValue("menu", "MenuItem", MenuItem);
  exportValue("menu", "MenuItemBase", MenuItemBase);
  exportGetter("menu", "NativeIcon", function () {
    return NativeIcon;
  });
  exportValue("menu", "SeparatorMenuItem", SeparatorMenuItem);
  exportValue("menu", "injectChannel", injectChannel);
  exportValue("menu", "newMenu", newMenu);
