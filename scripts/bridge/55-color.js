
  // ---- Colour ----------------------------------------------------------------------------------

  function clampTo(value, max) {
    return Math.min(Math.max(value, 0), max);
  }

  // 255 times alpha, limited to 0..255, rounded up.
  function alphaByte(alpha) {
    return Math.ceil(clampTo(255 * alpha, 255));
  }

  // RGBA: red, green and blue from 0 to 255, alpha from 0 to 1.
  class Color {
    constructor(r, g, b, a) {
      const none = function (v) {
        return v === null || v === undefined;
      };
      if (none(r) && none(g) && none(b)) {
        this._r = 0;
        this._g = 0;
        this._b = 0;
        this._a = 1;
        return;
      }
      this._r = clampTo(none(r) ? 0 : r, 255);
      this._g = clampTo(none(g) ? 0 : g, 255);
      this._b = clampTo(none(b) ? 0 : b, 255);
      this._a = none(a) ? 1 : clampTo(a, 1);
    }

    get r() {
      return this._r;
    }

    set r(value) {
      this._r = clampTo(value, 255);
    }

    get g() {
      return this._g;
    }

    set g(value) {
      this._g = clampTo(value, 255);
    }

    get b() {
      return this._b;
    }

    set b(value) {
      this._b = clampTo(value, 255);
    }

    get a() {
      return this._a;
    }

    set a(value) {
      this._a = clampTo(value, 1);
    }

    get argb() {
      return (alphaByte(this._a) << 24) | (this._r << 16) | (this._g << 8) | this._b;
    }

    get abgr() {
      return (alphaByte(this._a) << 24) | (this._b << 16) | (this._g << 8) | this._r;
    }
  }
