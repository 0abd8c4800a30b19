
  // ---- Menus and submenus ----------------------------------------------------------------------

  // One entry or a list of them: page menu objects travel as references, specs with their channel.
  function convertMenuItems(items) {
    const list = Array.isArray(items) ? items : [items];
    return list.map(function (entry) {
      return "rid" in entry ? menuReference(entry) : injectChannel(entry, entry.once);
    });
  }

  // A page object for a native item description of resource id, id and kind name.
  function itemFromKind(description) {
    const rid = description[0];
    const id = description[1];
    switch (description[2]) {
      case "Submenu":
        return new Submenu(rid, id);
      case "Icon":
        return new IconMenuItem(rid, id);
      case "Check":
        return new CheckMenuItem(rid, id);
      case "Separator":
        return new SeparatorMenuItem(rid, id);
      default:
        return new MenuItem(rid, id);
    }
  }

  function itemOrNull(reply) {
    return reply ? itemFromKind(reply) : null;
  }

  function menuFromReply(reply) {
    return reply ? new Menu(reply[0], reply[1]) : null;
  }

  function windowLabel(window) {
    return window ? window.label : null;
  }

  // The operations that a menu and a submenu share.
  function menuCommand(menu, command, extra) {
    return invoke("plugin:menu|" + command, Object.assign({ rid: menu.rid, kind: menu.kind }, extra));
  }

  function appendItems(menu, items) {
    return menuCommand(menu, "append", { items: convertMenuItems(items) });
  }

  function prependItems(menu, items) {
    return menuCommand(menu, "prepend", { items: convertMenuItems(items) });
  }

  function insertItems(menu, items, position) {
    return menuCommand(menu, "insert", { position: position, items: convertMenuItems(items) });
  }

  function removeItem(menu, item) {
    return menuCommand(menu, "remove", { item: menuReference(item) });
  }

  async function removeItemAt(menu, position) {
    return itemFromKind(await menuCommand(menu, "remove_at", { position: position }));
  }

  async function listItems(menu) {
    return (await menuCommand(menu, "items")).map(itemFromKind);
  }

  async function itemAt(menu, index) {
    return itemOrNull(await menuCommand(menu, "get_at", { index: index }));
  }

  async function itemById(menu, id) {
    return itemOrNull(await menuCommand(menu, "get", { id: id }));
  }

  // Shows the menu; resolves with the chosen item's id, or an empty text when nothing was chosen.
  function popupMenu(menu, position, window, align) {
    let pos = null;
    if (position) {
      pos = {};
      pos[position instanceof PhysicalPosition ? "Physical" : "Logical"] = { x: position.x, y: position.y };
    }
    return invokeWithHandler("plugin:menu|popup", {
      rid: menu.rid,
      kind: menu.kind,
      pos: pos,
      align: align,
      window: windowLabel(window),
    });
  }

  class Submenu extends MenuItemBase {
    constructor(rid, id) {
      super(rid, id, "Submenu");
    }

    static async new(options) {
      const reply = await newMenu("Submenu", options);
      return new Submenu(reply[0], reply[1]);
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

    async append(items) {
      return appendItems(this, items);
    }

    async prepend(items) {
      return prependItems(this, items);
    }

    async insert(items, position) {
      return insertItems(this, items, position);
    }

    async remove(item) {
      return removeItem(this, item);
    }

    async removeAt(position) {
      return removeItemAt(this, position);
    }

    async items() {
      return listItems(this);
    }

    async getAt(index) {
      return itemAt(this, index);
    }

    async get(id) {
      return itemById(this, id);
    }

    async popup(position, window, align) {
      return popupMenu(this, position, window, align);
    }
  }

  const MENU_COLOR_KEYS = [
    "textColor",
    "separatorColor",
    "backgroundColor",
    "disabledTextColor",
    "highlightColor",
    "highlightTextColor",
    "shadowColor",
    "borderColor",
  ];

  // The native side's resource id for the application's main menu.
  const MAIN_MENU_RID = 9;

  class Menu extends MenuItemBase {
    constructor(rid, id) {
      super(rid, id, "Menu");
    }

    static async new(options) {
      const reply = await newMenu("Menu", options);
      return new Menu(reply[0], reply[1]);
    }

    static async default() {
      const reply = await invoke("plugin:menu|create_default", {});
      return new Menu(reply[0], reply[1]);
    }

    static async mainMenu() {
      const reply = await invoke("plugin:menu|get", { rid: MAIN_MENU_RID, kind: "Menu", id: "" });
      if (!reply || reply[2] !== "Menu") {
        return null;
      }
      return new Menu(reply[0], reply[1]);
    }

    // Sets the look of the menus made from now on; colour records are written back as numbers.
    static async config(look) {
      const given = look !== null && look !== undefined;
      if (given) {
        for (const key of MENU_COLOR_KEYS) {
          const value = look[key];
          if (typeof value === "object" && value !== null) {
            look[key] = new Color(value.r, value.g, value.b, value.a).abgr;
          }
        }
      }
      await invoke("plugin:menu|config", given ? Object.assign({}, look) : {});
      return undefined;
    }

    static async removeWindowMenu(window) {
      return menuFromReply(await invoke("plugin:menu|remove_window_menu", { window: windowLabel(window) }));
    }

    async append(items) {
      return appendItems(this, items);
    }

    async prepend(items) {
      return prependItems(this, items);
    }

    async insert(items, position) {
      return insertItems(this, items, position);
    }

    async remove(item) {
      return removeItem(this, item);
    }

    async removeAt(position) {
      return removeItemAt(this, position);
    }

    async items() {
      return listItems(this);
    }

    async getAt(index) {
      return itemAt(this, index);
    }

    async get(id) {
      return itemById(this, id);
    }

    async popup(position, window, align) {
      return popupMenu(this, position, window, align);
    }

    async setAsWindowMenu(window) {
      return menuFromReply(await menuCommand(this, "set_as_window_menu", { window: windowLabel(window) }));
    }
  }

  const PopupAlignment = { Left: 1, Top: 2, Right: 4, Bottom: 8, ReturnCmd: 16 };
  PopupAlignment[1] = "Left";
  PopupAlignment[2] = "Top";
  PopupAlignment[4] = "Right";
  PopupAlignment[8] = "Bottom";
  PopupAlignment[16] = "ReturnCmd";

  exportValue("menu", "Menu", Menu);
  exportGetter("menu", "PopupAlignment", function () {
    return PopupAlignment;
  });
  exportValue("menu", "Submenu", Submenu);
  exportValue("menu", "itemFromKind", itemFromKind);
