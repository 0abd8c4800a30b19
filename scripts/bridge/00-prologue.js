// The bridge module: the namespace object that pages reach as window.__zrk__. This file is the
// first fragment of the module; the build joins every fragment of this folder in name order into
// one classic script whose module body is strict code.
var __ZRK_IIFE__ = (function (exports) {
  "use strict";

  // Private state lives in weak maps keyed by the instance, so that a method called on an object
  // that its class never initialised fails with these exact messages.
  function privateField() {
    return new WeakMap();
  }

  function readPrivate(field, self) {
    if (!field.has(self)) {
      throw new TypeError("Cannot read private member from an object whose class did not declare it");
    }
    return field.get(self);
  }

  function writePrivate(field, self, value) {
    if (!field.has(self)) {
      throw new TypeError("Cannot write private member to an object whose class did not declare it");
    }
    field.set(self, value);
  }

  // The global object: the first of window, self and global that shares this realm's Math.
  const globalObject = (function () {
    const candidates = [
      typeof window === "object" ? window : undefined,
      typeof self === "object" ? self : undefined,
      typeof global === "object" ? global : undefined,
    ];
    for (const candidate of candidates) {
      if (candidate && candidate.Math === Math) {
        return candidate;
      }
    }
    return undefined;
  })();

  function isDebugMode() {
    const info = globalObject && globalObject.__sysinfo__;
    return !!info && info.runmode == "Debug";
  }

  // Registers a page function under a new callback id that native code can call.
  function transformCallback(callback, once) {
    return globalObject.__zrk_internals__.makeCallback(callback, !!once);
  }

  // Namespace members, collected by the fragments and frozen into the namespaces at the end.
  const namespaceMembers = { event: [], menu: [], notification: [], webview: [], window: [] };

  function exportValue(namespace, name, value) {
    namespaceMembers[namespace].push({ name: name, descriptor: { value: value, enumerable: true } });
  }

  function exportGetter(namespace, name, getter) {
    namespaceMembers[namespace].push({ name: name, descriptor: { get: getter, enumerable: true } });
  }

  // A frozen namespace with a null prototype and its members in code-unit order of their names.
  function buildNamespace(namespace) {
    const members = namespaceMembers[namespace].slice();
    members.sort(function (a, b) {
      return a.name < b.name ? -1 : a.name > b.name ? 1 : 0;
    });
    const ns = Object.create(null);
    for (const member of members) {
      Object.defineProperty(ns, member.name, member.descriptor);
    }
    return Object.freeze(ns);
  }
