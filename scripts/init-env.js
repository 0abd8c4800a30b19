// Page environment. Injected into every document before the page's own scripts: gives the global
// object the hidden __zrk_internals__ with the command transport (POST to the virtual host through
// fetch, replies delivered to one-shot page callbacks), and makes every Web Worker that the page
// starts run the same environment.
//
// A classic script in sloppy mode: the guarded block declaration makes __init_env__ a global.
// __init_env__ must stay self-contained: its source text is sent into every worker and run there.
if (typeof __init_env__ === "undefined") {
  function __init_env__(host) {
    function isDebug() {
      var info = host.__sysinfo__;
      return !!info && info.runmode == "Debug";
    }

    function defineHidden(target, name, value) {
      Object.defineProperty(target, name, { value: value });
    }

    function uid() {
      return host.crypto.getRandomValues(new Uint32Array(1))[0];
    }

    // A new id never names a live callback, and 0 stands for "no callback" on the native side.
    function freshId() {
      var id = uid();
      while (id === 0 || Object.prototype.hasOwnProperty.call(host, "_" + id)) {
        id = uid();
      }
      return id;
    }

    function buildUrl(uri) {
      var parts = uri.split(":");
      var path = parts[0];
      var plugin = parts.length > 1 ? parts[1] : "";
      var url = "{URI_SCHEME}://{URI_DOMAIN}";
      if (path.charAt(0) !== "/") {
        url += "/";
      }
      url += path;
      if (plugin !== "") {
        var names = plugin.split("|");
        url += "?name=" + encodeURIComponent(names[0]);
        if (names.length > 1) {
          url += "&event=" + encodeURIComponent(names[1]);
        }
      }
      return url;
    }

    function makeCallback(callback, once) {
      var id = freshId();
      var prop = "_" + id;
      Object.defineProperty(host, prop, {
        value: function (result) {
          if (once) {
            if (isDebug()) {
              console.warn("delete callback: " + id);
            }
            Reflect.deleteProperty(host, prop);
          }
          return callback ? callback(result) : callback;
        },
        writable: false,
        configurable: true,
      });
      return id;
    }

    // Maps become plain objects of their entries; channel-like objects become "__channel__:<id>".
    function replacer(key, value) {
      if (value instanceof Map) {
        var entries = {};
        value.forEach(function (entryValue, entryKey) {
          if (typeof entryKey === "symbol") {
            return;
          }
          // defineProperty, so that a key "__proto__" stays an entry.
          Object.defineProperty(entries, String(entryKey), {
            value: entryValue,
            writable: true,
            enumerable: true,
            configurable: true,
          });
        });
        return entries;
      }
      if (value instanceof Object && "__zrk_channel_marker__" in value && typeof value.id === "number") {
        return "__channel__:" + value.id;
      }
      return value;
    }

    function processIpcMessage(payload) {
      if (payload instanceof ArrayBuffer || ArrayBuffer.isView(payload) || Array.isArray(payload)) {
        return { contentType: "application/octet-stream", body: payload };
      }
      if (typeof payload === "string" || (typeof FormData !== "undefined" && payload instanceof FormData)) {
        return { contentType: null, body: payload };
      }
      return { contentType: "application/json", body: JSON.stringify(payload, replacer) };
    }

    function readReply(response, injection, failresponse) {
      if (injection) {
        return Promise.resolve(response);
      }
      var fallback = failresponse ? response : response.statusText;
      var type = (response.headers.get("content-type") || "").split(",")[0];
      var read;
      if (type === "application/json") {
        read = response.json();
      } else if (type === "text/plain") {
        read = response.text();
      } else {
        read = response.arrayBuffer();
      }
      return read.then(function (value) {
        if (response.ok) {
          return value;
        }
        return value ? value : fallback;
      });
    }

    function deliver(id, value) {
      var fn = host["_" + id];
      if (fn) {
        fn(value);
      } else if (isDebug()) {
        console.warn("[ZRK] Could not find callback id in window: " + id);
      }
    }

    function sendIpcMessage(message) {
      var cmd = message.cmd;
      var callback = message.callback;
      var error = message.error;
      var options = message.options;
      var injection = !!(options && options.injection);
      var failresponse = !!(options && options.failresponse);
      var encoded = processIpcMessage(message.payload);
      var url = buildUrl(cmd);
      var headers = {};
      if (encoded.contentType) {
        headers["Content-Type"] = encoded.contentType;
      }
      headers["zrk-Callback"] = String(callback);
      headers["zrk-Error"] = String(error);
      if (options && options.headers) {
        var extra = options.headers;
        Object.keys(extra).forEach(function (name) {
          headers[name] = extra[name];
        });
      }
      var pending;
      try {
        pending = fetch(url, { method: "POST", body: encoded.body, headers: headers });
      } catch (failure) {
        pending = Promise.reject(failure);
      }
      Promise.resolve(pending)
        .then(function (response) {
          var target = response.ok ? callback : error;
          return readReply(response, injection, failresponse).then(function (value) {
            deliver(target, value);
          });
        })
        .catch(function (failure) {
          var fn = host["_" + error];
          if (fn) {
            fn(failure);
          }
        });
    }

    function invoke(cmd, payload, options) {
      return new Promise(function (resolve, reject) {
        var callback = makeCallback(function (result) {
          resolve(result);
          delete host["_" + error];
        }, true);
        var error = makeCallback(function (failure) {
          reject(failure);
          delete host["_" + callback];
        }, true);
        try {
          host.__zrk_internals__.ipc({
            cmd: cmd,
            callback: callback,
            error: error,
            payload: payload,
            options: options,
          });
        } catch (failure) {
          // Nothing was sent: no reply will ever come for these two.
          delete host["_" + callback];
          delete host["_" + error];
          throw failure;
        }
      });
    }

    if (!host.__zrk_internals__) {
      defineHidden(host, "__zrk_internals__", { baseUrl: "{URI_SCHEME}://{URI_DOMAIN}" });
    }
    var internals = host.__zrk_internals__;
    defineHidden(internals, "postMessage", sendIpcMessage);
    defineHidden(
      internals,
      "ipc",
      Object.freeze(function (message) {
        host.__zrk_internals__.postMessage(message);
      })
    );
    defineHidden(internals, "buildUrl", buildUrl);
    defineHidden(internals, "makeCallback", makeCallback);
    defineHidden(internals, "invoke", invoke);

    if (typeof window !== "undefined" && host === window) {
      defineHidden(internals, "plugins", {});
      var metadata = {};
      defineHidden(internals, "metadata", metadata);
      defineHidden(metadata, "windows", []);
      defineHidden(metadata, "dialogs", []);
      defineHidden(metadata, "webviews", []);
    }
  }
}

__init_env__(window);

// Web Workers: every worker starts on a small proxy script that receives the environment's source
// and the page's script, and evaluates both on the worker's global object.
(function () {
  var EngineWorker = window.Worker;
  var initString = __init_env__.toString() + "\n__init_env__(globalThis);\n\n";

  var proxyScript = [
    "var __zrk_early_messages__ = [];",
    "var __zrk_proxy_state__ = 'waiting';",
    "self.injectedInit = function () { console.log('Injected initialization in worker!'); };",
    "function __zrk_read_blob__(blob) {",
    "  return new Promise(function (resolve, reject) {",
    "    var reader = new FileReader();",
    "    reader.onload = function () { resolve(reader.result); };",
    "    reader.onerror = function () { reject(reader.error || new Error('Failed to read the worker script')); };",
    "    reader.onabort = reader.onerror;",
    "    reader.readAsText(blob);",
    "  });",
    "}",
    "self.fetchWorkerScript = async function (url, initstr) {",
    "  try {",
    "    var __zrk_text__ = '';",
    "    if (typeof url === 'string' && url.indexOf('blob:') === 0) {",
    "      __zrk_text__ = await __zrk_read_blob__(await (await fetch(url)).blob());",
    "    } else if (typeof url === 'string') {",
    "      var __zrk_reply__ = await fetch(url);",
    "      if (!__zrk_reply__.ok) { throw new Error('HTTP ' + __zrk_reply__.status + ' for ' + url); }",
    "      __zrk_text__ = await __zrk_reply__.text();",
    "    } else if (typeof Blob !== 'undefined' && url instanceof Blob) {",
    "      __zrk_text__ = await __zrk_read_blob__(url);",
    "    }",
    "    __zrk_text__ = initstr + __zrk_text__;",
    "    console.log('evaluate worker script.');",
    "    __zrk_proxy_state__ = 'running';",
    "    eval(__zrk_text__);",
    "  } catch (e) {",
    "    __zrk_proxy_state__ = 'waiting';",
    "    console.error('Faield to fetch worker script:', e);",
    "    return;",
    "  }",
    // Messages that the page posted while the script was loading reach the script now.
    "  var early = __zrk_early_messages__;",
    "  __zrk_early_messages__ = [];",
    "  early.forEach(function (e) {",
    "    self.dispatchEvent(new MessageEvent('message', { data: e.data, ports: e.ports ? Array.from(e.ports) : [] }));",
    "  });",
    "};",
    "self.onmessage = function (e) {",
    "  if (e.data && e.data.type === '__init_env__') {",
    "    __zrk_proxy_state__ = 'loading';",
    "    self.fetchWorkerScript(e.data.scriptUrl, e.data.initstr);",
    "  } else if (__zrk_proxy_state__ !== 'running') {",
    "    __zrk_early_messages__.push(e);",
    "  }",
    "};",
    "",
  ].join("\n");

  function pathSettings() {
    var internals = window.__zrk_internals__;
    var path = internals && internals.plugins && internals.plugins.path;
    if (!path) {
      return "";
    }
    return (
      "(function () { var z = globalThis.__zrk_internals__;" +
      " if (!z.plugins) { z.plugins = {}; }" +
      " z.plugins.path = { sep: " + JSON.stringify(String(path.sep)) +
      ", delimiter: " + JSON.stringify(String(path.delimiter)) + " }; })();\n"
    );
  }

  // Relative script locations resolve against the document, as the engine's own constructor does.
  function resolveScript(location) {
    var base = typeof document !== "undefined" && document.baseURI ? document.baseURI : window.location.href;
    try {
      return new URL(location, base).href;
    } catch (e) {
      return window.location.origin + "/" + location;
    }
  }

  function Worker(scriptUrl, options) {
    console.log("Intercepting Worker script:", scriptUrl);
    if (typeof URL !== "undefined" && scriptUrl instanceof URL) {
      console.log("This is an instanceof URL. It will be converted to a string.");
      console.log(scriptUrl.href);
      scriptUrl = scriptUrl.href;
    }
    var isBlob = typeof Blob !== "undefined" && scriptUrl instanceof Blob;
    if (typeof scriptUrl !== "string" && !isBlob) {
      return new EngineWorker(scriptUrl, options);
    }
    var proxyUrl = URL.createObjectURL(new Blob([proxyScript], { type: "application/javascript" }));
    var worker;
    try {
      worker = new EngineWorker(proxyUrl, options);
    } finally {
      // The engine has taken the proxy's location at construction: the URL is no longer needed.
      URL.revokeObjectURL(proxyUrl);
    }
    if (typeof scriptUrl === "string" && scriptUrl.indexOf("blob:") !== 0 && scriptUrl.indexOf("://") < 0) {
      scriptUrl = resolveScript(scriptUrl);
    }
    worker.postMessage({ type: "__init_env__", scriptUrl: scriptUrl, initstr: initString + pathSettings() });
    return worker;
  }

  window.Worker = Worker;
  window.NativeWorker = EngineWorker;
})();
