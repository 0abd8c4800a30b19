
  // ---- Commands --------------------------------------------------------------------------------

  // Sends a command. "@name" and "@name:action" go to the page's own __zrk_msg__; everything else
  // to the transport of __zrk_internals__.
  async function invoke(cmd, payload, options) {
    if (payload === undefined) {
      payload = {};
    }
    if (typeof cmd !== "string") {
      throw new TypeError("The command must be a string");
    }
    if (cmd.charAt(0) === "@") {
      let name = cmd.slice(1);
      const colon = name.indexOf(":");
      if (colon > 0) {
        payload = { action: name.slice(colon + 1), payload: payload };
        name = name.slice(0, colon);
      }
      const messenger = globalObject.__zrk_msg__;
      if (!messenger) {
        throw new TypeError("No __zrk_msg__ object handles the command " + cmd);
      }
      return messenger.invoke(name, payload, options);
    }
    return globalObject.__zrk_internals__.invoke(cmd, payload, options);
  }

  // For commands whose result the native side delivers later, through a one-shot callback.
  async function invokeWithHandler(cmd, payload) {
    let resolveResult;
    const result = new Promise(function (resolve) {
      resolveResult = resolve;
    });
    const handler = transformCallback(function (value) {
      resolveResult(value);
    }, true);
    try {
      await invoke(cmd, Object.assign({}, payload, { handler: handler }));
    } catch (failure) {
      // The native side refused the command: it will never call the handler.
      Reflect.deleteProperty(globalObject, "_" + handler);
      throw failure;
    }
    return result;
  }

  // ---- Channel ---------------------------------------------------------------------------------

  const UNORDERED_IDS = [-1, 4294967295];
  const channelHandler = privateField();
  const channelNextId = privateField();
  const channelStore = privateField();

  // Calls the handler with each message of a run; a handler that throws does not cost the later
  // messages their delivery: the first exception is rethrown once the run is through.
  function deliverRun(channel, messages) {
    let failed = false;
    let failure;
    for (const message of messages) {
      try {
        readPrivate(channelHandler, channel).call(channel, message);
      } catch (e) {
        if (!failed) {
          failed = true;
          failure = e;
        }
      }
    }
    if (failed) {
      throw failure;
    }
  }

  function deliverChannelMessage(channel, response) {
    if (response === undefined || response === null || response.id === undefined || response.id === null) {
      throw new TypeError("A channel message needs a numeric id");
    }
    const message = response.message;
    const id = response.id;
    if (UNORDERED_IDS.indexOf(id) >= 0) {
      readPrivate(channelHandler, channel).call(channel, message);
      return;
    }
    const next = readPrivate(channelNextId, channel);
    const store = readPrivate(channelStore, channel);
    if (id === next) {
      // Take the whole run out of the store and commit the channel's state before any delivery.
      const run = [message];
      let counter = id + 1;
      while (Object.prototype.hasOwnProperty.call(store, String(counter))) {
        run.push(store[String(counter)]);
        delete store[String(counter)];
        counter += 1;
      }
      writePrivate(channelNextId, channel, counter);
      deliverRun(channel, run);
    } else if (typeof id === "number" && id < next) {
      // Already delivered: a repeated id must not block the channel.
      if (isDebugMode()) {
        console.warn("[ZRK] channel " + channel.id + ": dropped message " + id + ", expecting " + next);
      }
    } else {
      store[String(id)] = message;
    }
  }

  class Channel {
    constructor(once) {
      this.__zrk_channel_marker__ = true;
      channelHandler.set(this, function () {});
      channelNextId.set(this, 0);
      channelStore.set(this, Object.create(null));
      const channel = this;
      this.id = transformCallback(function (response) {
        deliverChannelMessage(channel, response);
      }, !!once);
    }

    get onmessage() {
      return readPrivate(channelHandler, this);
    }

    set onmessage(handler) {
      writePrivate(channelHandler, this, handler);
    }

    toJSON() {
      return "__channel__:" + this.id;
    }
  }

  // ---- Resource --------------------------------------------------------------------------------

  const resourceId = privateField();

  // A page object that stands for a native object held in the webview's resource manager.
  class Resource {
    constructor(rid) {
      resourceId.set(this, rid);
    }

    get rid() {
      return readPrivate(resourceId, this);
    }

    async close() {
      return invoke("plugin:resource|close", { rid: this.rid });
    }

    static async list() {
      return invoke("plugin:resource|list");
    }
  }
