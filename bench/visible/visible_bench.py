#!/usr/bin/env python3
"""Time to a picture painted on screen, and memory per open window, on a private X server.

    bench/visible/visible_bench.py <path to pelmora> [--runs N]

Starts Xvfb and openbox on a free display. For each run, starts `pelmora -view <photo>` and, side
by side, `chromium --app=file://<photo>` (with the flags Pelmora gives its own browser where they
change start-up work), and polls screenshots of the root window until the photo's colour covers
a good part of the screen: the time from the start to that screenshot is the time to painted.
Then opens two more photos in the running program (later starts hand their file over) and sums
the proportional set size (PSS) of every process of the program, its browser's included, with 1
and with 3 windows open.
The photo is a 1600x1200 BMP of one colour (the program and the browser scale it to their window).
"""
import argparse
import ctypes
import ctypes.util
import os
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time

COLOURS = [(30, 160, 220), (220, 90, 30), (90, 200, 60)]
SCREEN = (1280, 800)
PAINTED_PIXELS = 30000  # of the photo's colour among the pixels looked at (every other one)


def write_bmp(path, width, height, rgb):
    pad = (4 - (width * 3) % 4) % 4
    row = bytes((rgb[2], rgb[1], rgb[0])) * width + b"\0" * pad
    data = row * height
    header = b"BM" + struct.pack("<IHHI", 54 + len(data), 0, 0, 54)
    header += struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + data)


class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.POINTER(ctypes.c_ubyte)),
                ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
                ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int),
                ("bits_per_pixel", ctypes.c_int)]


class Screen:
    """Screenshots of the root window through libX11."""

    def __init__(self, display):
        self.x = ctypes.CDLL(ctypes.util.find_library("X11"))
        self.x.XOpenDisplay.restype = ctypes.c_void_p
        self.x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x.XDefaultRootWindow.restype = ctypes.c_ulong
        self.x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        self.x.XGetImage.restype = ctypes.POINTER(XImage)
        self.x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                     ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        self.x.XDestroyImage = None  # a macro; the image's data is freed with XFree
        self.x.XFree.argtypes = [ctypes.c_void_p]
        self.d = self.x.XOpenDisplay(display.encode())
        if not self.d:
            raise RuntimeError("cannot open display " + display)
        self.root = self.x.XDefaultRootWindow(self.d)

    def count(self, rgb, tolerance=8):
        """Pixels (every other one) of the root window within `tolerance` of `rgb` (32-bit ZPixmap, BGRX)."""
        image = self.x.XGetImage(self.d, self.root, 0, 0, SCREEN[0], SCREEN[1], 0xFFFFFFFF, 2)
        if not image:
            return 0
        im = image.contents
        raw = ctypes.string_at(im.data, im.bytes_per_line * im.height)
        self.x.XFree(im.data)
        self.x.XFree(image)
        # Every other pixel of each row is looked at (the screenshot stays cheap: about 50 ms).
        # Per channel, 1 where the byte is close to the colour's, 0 elsewhere; a pixel counts where
        # all three are 1.
        mask = None
        for offset, value in ((0, rgb[2]), (1, rgb[1]), (2, rgb[0])):
            table = bytes(1 if abs(v - value) <= tolerance else 0 for v in range(256))
            bits = int.from_bytes(raw[offset::8].translate(table), "little")
            mask = bits if mask is None else mask & bits
        return mask.bit_count()


def free_display():
    for n in range(70, 200):
        if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
            return ":%d" % n
    raise RuntimeError("no free display")


def descendants(pid):
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
            parent = int(stat[stat.rfind(")") + 2:].split()[1])
            children.setdefault(parent, []).append(int(entry))
        except (OSError, ValueError, IndexError):
            pass
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        out.append(p)
        todo.extend(children.get(p, []))
    return out


def pss_kb(pid):
    total = 0
    for p in descendants(pid):
        try:
            with open("/proc/%d/smaps_rollup" % p) as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def wait_painted(screen, rgb, proc, timeout=60.0):
    start = time.monotonic()
    while time.monotonic() - start < timeout:
        if screen.count(rgb) >= PAINTED_PIXELS:
            return time.monotonic()
        if proc is not None and proc.poll() is not None:
            return None
        time.sleep(0.01)
    return None


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(15)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def environment(display, home):
    env = dict(os.environ)
    env.pop("PELMORA_HEADLESS", None)
    env["DISPLAY"] = display
    for name in ("run", "data", "config", "cache"):
        os.makedirs(os.path.join(home, name), mode=0o700, exist_ok=True)
    env["XDG_RUNTIME_DIR"] = os.path.join(home, "run")
    env["XDG_DATA_HOME"] = os.path.join(home, "data")
    env["XDG_CONFIG_HOME"] = os.path.join(home, "config")
    env["XDG_CACHE_HOME"] = os.path.join(home, "cache")
    return env


def chromium_flags(profile):
    flags = ["--user-data-dir=" + profile, "--no-first-run", "--no-default-browser-check",
             "--disable-gpu", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--disable-extensions", "--disable-default-apps", "--disable-breakpad"]
    if os.geteuid() == 0:
        flags += ["--no-sandbox", "--test-type"]
    return flags


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("pelmora")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="pel-visible-")
    display = free_display()
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "%dx%dx24" % SCREEN, "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wm = None
    try:
        time.sleep(1.0)
        wm = subprocess.Popen(["openbox"], env=dict(os.environ, DISPLAY=display),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1.0)
        screen = Screen(display)
        photos = []
        for i, rgb in enumerate(COLOURS):
            path = os.path.join(work, "photo%d.bmp" % i)
            write_bmp(path, 1600, 1200, rgb)
            photos.append(path)

        pel_times, chromium_times, pss1, pss3, chromium_pss = [], [], [], [], []
        for run in range(args.runs):
            # Pelmora, a fresh instance each run.
            home = os.path.join(work, "pel%d" % run)
            env = environment(display, home)
            t0 = time.monotonic()
            proc = subprocess.Popen([args.pelmora, "-view", photos[0]], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            t1 = wait_painted(screen, COLOURS[0], proc)
            if t1 is None:
                print("pelmora: the photo was not painted", file=sys.stderr)
                stop(proc)
                return 1
            pel_times.append(t1 - t0)
            time.sleep(2.0)
            pss1.append(pss_kb(proc.pid))
            for photo, rgb in zip(photos[1:], COLOURS[1:]):
                subprocess.run([args.pelmora, "-view", photo], env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=60)
                if wait_painted(screen, rgb, proc) is None:
                    print("pelmora: a later photo was not painted", file=sys.stderr)
            time.sleep(2.0)
            pss3.append(pss_kb(proc.pid))
            stop(proc)
            time.sleep(1.0)

            # The browser alone, showing the same photo in an app window.
            profile = os.path.join(work, "chromium%d" % run)
            t0 = time.monotonic()
            proc = subprocess.Popen(["chromium", "--app=file://" + photos[0]] + chromium_flags(profile),
                                    env=dict(os.environ, DISPLAY=display),
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            t1 = wait_painted(screen, COLOURS[0], proc)
            if t1 is None:
                print("chromium: the photo was not painted", file=sys.stderr)
                stop(proc)
                return 1
            chromium_times.append(t1 - t0)
            time.sleep(2.0)
            chromium_pss.append(pss_kb(proc.pid))
            stop(proc)
            time.sleep(1.0)

        pel = statistics.median(pel_times)
        chrome = statistics.median(chromium_times)
        print("runs: %d (median)" % args.runs)
        print("time to the photo painted: pelmora %.2f s, chromium --app %.2f s, ratio %.2f"
              % (pel, chrome, pel / chrome))
        print("  pelmora runs: %s" % ", ".join("%.2f" % t for t in pel_times))
        print("  chromium runs: %s" % ", ".join("%.2f" % t for t in chromium_times))
        m1, m3 = statistics.median(pss1), statistics.median(pss3)
        print("memory (PSS, all processes): pelmora 1 window %.0f MB, 3 windows %.0f MB (%.0f MB per window);"
              " chromium --app 1 window %.0f MB"
              % (m1 / 1024, m3 / 1024, m3 / 3 / 1024, statistics.median(chromium_pss) / 1024))
        print("  each window after the first: %.0f MB" % ((m3 - m1) / 2 / 1024))
        return 0
    finally:
        if wm is not None:
            stop(wm)
        stop(xvfb)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
