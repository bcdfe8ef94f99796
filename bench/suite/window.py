"""Case 6 of bench/run: the window at rest on the offer screen under Xvfb. Targets: CPU time
(utime + stime of /proc/PID/stat) under 5% of one core over 10 s; from process start to the
first frame on screen under 200 ms (the window's pixels are polled through Xlib until they show
the background colour 11,13,16). The same window under weston (Wayland, headless, pixman) with
SDL's Wayland driver: its CPU time, first frame and peak resident memory (VmHWM) beside the X11
figures, which are the baseline; these rows have no target. The first frame on Wayland is the
first commit of a picture to the window's surface, read from libwayland's protocol log in a run
of its own; the offer screen is awaited through weston-screenshooter pictures.
"""

import ctypes
import ctypes.util
import os
import shutil
import statistics
import subprocess
import time

from .harness import (MiB, Broken, fmt_list, make_game, mebibytes, milliseconds, peak_resident_mib,
                      percent, process_cpu_seconds, say, stop_process)


def run(bench):
    """Case 6 under Xvfb, then under weston."""
    rest = 1.0 if bench.smoke else 10.0
    say(f"case 6: the window at rest on the offer screen ({rest:.0f} s)")
    # Without its logo and fonts the window would draw less than a player's does.
    for asset in ("logo.png", "LiberationSans-Regular.ttf", "Fontin-Bold.otf"):
        if not os.path.exists(os.path.join(bench.args.build, asset)):
            raise Broken(f"{asset} is missing beside varnholt-setup: build the whole "
                         "build folder (or its target varnholt-assets)")
    game = bench.path("game6")
    make_game(bench.pool, game, [("bin/varnholt", 4096, True), ("data/world.pak", MiB, False)])
    bench.publish(game, "1.0", "bin/varnholt", os.path.join(bench.server_root, "c6", "linux"))
    bench.remove(game)
    starts, cpus, xcpus, peaks = [], [], [], []
    runs = 1 if bench.smoke else bench.runs
    with Xvfb() as x:
        for _ in range(runs):
            start, cpu, xcpu, peak = window_once(bench, x, rest)
            starts.append(start)
            cpus.append(cpu)
            xcpus.append(xcpu)
            peaks.append(peak)
    s, c = statistics.median(starts), statistics.median(cpus)
    bench.row(6, f"window at rest on the offer screen, {rest:.0f} s: CPU", c * 100, None, None,
              "< 5%", c < 0.05, percent)
    bench.row(6, "  start to first frame on screen", s * 1000, None, None, "< 200 ms",
              s < 0.2, milliseconds)
    bench.notes.append(f"case 6: first frame {fmt_list([v * 1000 for v in starts])} ms; "
                       f"CPU {fmt_list([v * 100 for v in cpus])}%; X server CPU meanwhile "
                       f"{fmt_list([v * 100 for v in xcpus])}%")
    run_on_wayland(bench, rest, runs, s, c, statistics.median(peaks))
    bench.remove(os.path.join(bench.server_root, "c6"))


def window_once(bench, x, rest):
    install = bench.path("install6")
    bench.remove_now(install)
    env = dict(bench.env, DISPLAY=x.display)
    log = bench.path("window.log")
    watcher = XWatcher(x.display)
    argv = [bench.setup, "--no-register", "--source", bench.nginx.url("c6"), "--dir", install,
            "--log", log]
    start = time.perf_counter()
    process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        window = None
        first_frame = None
        offer = None
        deadline = start + 20
        while time.perf_counter() < deadline and process.poll() is None:
            if window is None:
                window = watcher.find_window("Varnholt Setup", 560, 380)
            if window is not None:
                now = time.perf_counter()
                if first_frame is None and watcher.shows_background(window):
                    first_frame = now - start
                if first_frame is not None and watcher.pixel(window, 392, 320) == (188, 155, 106):
                    offer = now
                    break
            time.sleep(0.002)
        if process.poll() is not None:
            raise Broken(f"the window program ended early with {process.returncode}")
        if first_frame is None:
            raise Broken("no window with the background colour appeared within 20 s")
        if offer is None:
            raise Broken("the offer screen (INSTALL button) did not appear within 20 s")
        cpu, xcpu = cpu_at_rest(process, x.pid, rest)
        if process.poll() is not None:
            raise Broken("the window closed by itself while at rest")
        return first_frame, cpu, xcpu, peak_resident_mib(process.pid)
    finally:
        watcher.close()
        stop_process(process)
        bench.remove_now(install, log)


def run_on_wayland(bench, rest, runs, x11_start, x11_cpu, x11_peak):
    """The same window under weston, beside the X11 figures."""
    say(f"case 6: the same window on Wayland (weston, headless) ({rest:.0f} s)")
    starts, cpus, wcpus, peaks = [], [], [], []
    for _ in range(runs):
        with Weston(bench.path("weston")) as w:
            starts.append(wayland_first_frame(bench, w))
            cpu, wcpu, peak = wayland_window_once(bench, w, rest)
        cpus.append(cpu)
        wcpus.append(wcpu)
        peaks.append(peak)
    s, c, p = statistics.median(starts), statistics.median(cpus), statistics.median(peaks)
    # Figures without a target: the software path's gains are kept where it works (X11).
    bench.row(6, f"Wayland: at rest, {rest:.0f} s: CPU (baseline X11)", c * 100, x11_cpu * 100,
              c / x11_cpu if x11_cpu > 0 else None, "-", None, percent)
    bench.row(6, "  Wayland: start to first frame (baseline X11)", s * 1000, x11_start * 1000,
              s / x11_start if x11_start > 0 else None, "-", None, milliseconds)
    bench.row(6, "  Wayland: peak resident memory (baseline X11)", p, x11_peak,
              p / x11_peak if x11_peak > 0 else None, "-", None, mebibytes)
    bench.notes.append(f"case 6, Wayland: first frame {fmt_list([v * 1000 for v in starts])} ms; "
                       f"CPU {fmt_list([v * 100 for v in cpus])}%; weston CPU meanwhile "
                       f"{fmt_list([v * 100 for v in wcpus])}%; peak memory "
                       f"{fmt_list(peaks)} MiB")


def wayland_env(bench, w):
    return dict(bench.env, XDG_RUNTIME_DIR=w.runtime, WAYLAND_DISPLAY=w.socket,
                SDL_VIDEODRIVER="wayland")


def wayland_first_frame(bench, w):
    """From process start to the first commit of a picture to the window's surface, read
    from libwayland's protocol log (WAYLAND_DEBUG) as it is written. A run of its own, as
    the log costs processor time."""
    install = bench.path("install6")
    bench.remove_now(install)
    argv = [bench.setup, "--no-register", "--source", bench.nginx.url("c6"), "--dir", install]
    env = dict(wayland_env(bench, w), WAYLAND_DEBUG="client")
    start = time.perf_counter()
    process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                               errors="replace")
    try:
        window_surface, attached = None, False
        for line in process.stderr:
            if window_surface is None:
                if ".get_xdg_surface(" in line:
                    window_surface = line.rsplit("wl_surface@", 1)[1].split(")")[0]
                continue
            if f"wl_surface@{window_surface}.attach(wl_buffer@" in line:
                attached = True
            elif attached and f"wl_surface@{window_surface}.commit()" in line:
                return time.perf_counter() - start
        raise Broken(f"the window program drew nothing on Wayland (exit {process.wait()})")
    finally:
        if process.poll() is None:
            process.kill()
        process.wait()
        process.stderr.close()
        bench.remove_now(install)


def wayland_window_once(bench, w, rest):
    install = bench.path("install6")
    bench.remove_now(install)
    log = bench.path("window.log")
    argv = [bench.setup, "--no-register", "--source", bench.nginx.url("c6"), "--dir", install,
            "--log", log]
    process = subprocess.Popen(argv, env=wayland_env(bench, w), stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        offer = False
        deadline = time.perf_counter() + 30
        while not offer and time.perf_counter() < deadline and process.poll() is None:
            pixels = w.screenshot()
            at = find_divider(pixels, 1024)
            if at is not None:
                # The INSTALL button's fill: 392, 320 in the window, whose divider is at 40, 136.
                x, y = at[0] - 40 + 392, at[1] - 136 + 320
                i = (y * 1024 + x) * 3
                offer = pixels[i:i + 3] == bytes((188, 155, 106))
        if process.poll() is not None:
            raise Broken(f"the window program ended early on Wayland with {process.returncode}")
        if not offer:
            raise Broken("the offer screen (INSTALL button) did not appear on weston within 30 s")
        cpu, wcpu = cpu_at_rest(process, w.pid, rest)
        if process.poll() is not None:
            raise Broken("the window closed by itself while at rest on Wayland")
        return cpu, wcpu, peak_resident_mib(process.pid)
    finally:
        stop_process(process)
        bench.remove_now(install, log)


def cpu_at_rest(process, server_pid, rest):
    """The shares of one core that the window program and its display server used over rest
    seconds, once the screen has settled."""
    time.sleep(0.5)  # let the check's worker finish and the screen settle
    cpu0, server0, t0 = process_cpu_seconds(process.pid), process_cpu_seconds(server_pid), \
        time.perf_counter()
    time.sleep(rest)
    cpu1, server1, t1 = process_cpu_seconds(process.pid), process_cpu_seconds(server_pid), \
        time.perf_counter()
    return (cpu1 - cpu0) / (t1 - t0), (server1 - server0) / (t1 - t0)


def find_divider(pixels, width):
    """The left end (x, y) of the window's divider: 480 pixels of 70,58,40 in one row."""
    i = pixels.find(bytes((70, 58, 40)) * 480)
    while i >= 0:
        if i % 3 == 0 and (i // 3) % width + 480 <= width:
            return (i // 3) % width, (i // 3) // width
        i = pixels.find(bytes((70, 58, 40)) * 480, i + 1)
    return None


# ----------------------------------------------------------------------------------------
# Wayland: weston with its headless back end and pixman, pictures through weston-screenshooter.

class Weston:
    def __init__(self, folder):
        self.folder = folder

    def __enter__(self):
        for tool in ("weston", "weston-screenshooter", "convert"):
            if not shutil.which(tool):
                raise Broken(f"case 6 needs {tool} (scripts/setup installs it)")
        self.runtime = os.path.join(self.folder, "runtime")
        os.makedirs(self.runtime, mode=0o700)
        os.chmod(self.runtime, 0o700)
        self.socket = "wayland-bench"
        env = dict(os.environ, XDG_RUNTIME_DIR=self.runtime)
        env.pop("WAYLAND_DISPLAY", None)
        env.pop("DISPLAY", None)
        self.process = subprocess.Popen(
            ["weston", "--backend=headless-backend.so", "--use-pixman", f"--socket={self.socket}",
             "--width=1024", "--height=768", "--idle-time=0", "--debug"],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        self.pid = self.process.pid
        deadline = time.monotonic() + 20
        while not os.path.exists(os.path.join(self.runtime, self.socket)):
            if time.monotonic() > deadline or self.process.poll() is not None:
                self.__exit__()
                raise Broken("weston did not start")
            time.sleep(0.01)
        self.env = dict(env, WAYLAND_DISPLAY=self.socket)
        return self

    def screenshot(self):
        """The output's pixels as RGB bytes, row by row."""
        shots = os.path.join(self.folder, "shots")
        shutil.rmtree(shots, ignore_errors=True)
        os.makedirs(shots)
        subprocess.run(["weston-screenshooter"], env=self.env, cwd=shots, check=True, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        names = os.listdir(shots)
        if len(names) != 1:
            raise Broken(f"weston-screenshooter wrote {names}")
        return subprocess.run(["convert", os.path.join(shots, names[0]), "-depth", "8", "rgb:-"],
                              check=True, capture_output=True, timeout=30).stdout

    def __exit__(self, *exc):
        stop_process(self.process)
        shutil.rmtree(self.folder, ignore_errors=True)


# ----------------------------------------------------------------------------------------
# X11: a virtual screen and a watcher reading window pixels through libX11 (ctypes).

class Xvfb:
    def __enter__(self):
        xvfb = shutil.which("Xvfb")
        if not xvfb:
            raise Broken("case 6 needs Xvfb (package xvfb)")
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen([xvfb, "-displayfd", str(write_end), "-noreset", "-screen", "0",
                                         "1024x768x24", "-nolisten", "tcp"],
                                        pass_fds=[write_end], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        with os.fdopen(read_end, "rb") as r:
            while not number.endswith(b"\n"):
                piece = r.read(1)
                if not piece:
                    break
                number += piece
        if not number.strip():
            self.__exit__()
            raise Broken("Xvfb did not start")
        self.display = ":" + number.decode().strip()
        self.pid = self.process.pid
        return self

    def __exit__(self, *exc):
        stop_process(self.process)


class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int)]


class XWindowAttributes(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int),
                ("height", ctypes.c_int), ("border_width", ctypes.c_int),
                ("depth", ctypes.c_int), ("visual", ctypes.c_void_p),
                ("root", ctypes.c_ulong), ("class_", ctypes.c_int),
                ("bit_gravity", ctypes.c_int), ("win_gravity", ctypes.c_int),
                ("backing_store", ctypes.c_int), ("backing_planes", ctypes.c_ulong),
                ("backing_pixel", ctypes.c_ulong), ("save_under", ctypes.c_int),
                ("colormap", ctypes.c_ulong), ("map_installed", ctypes.c_int),
                ("map_state", ctypes.c_int), ("all_event_masks", ctypes.c_long),
                ("your_event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
                ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p)]


ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)


class XWatcher:
    """Finds a top-level window by title and size and reads its pixels."""

    _ignore_errors = ERROR_HANDLER(lambda display, event: 0)  # windows may vanish meanwhile

    def __init__(self, display_name):
        name = ctypes.util.find_library("X11")
        if not name:
            raise Broken("case 6 needs libX11")
        x = self.x = ctypes.CDLL(name)
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ctypes.c_ulong
        x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                                 ctypes.POINTER(ctypes.c_ulong),
                                 ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                                 ctypes.POINTER(ctypes.c_uint)]
        x.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong,
                                 ctypes.POINTER(ctypes.c_char_p)]
        x.XFree.argtypes = [ctypes.c_void_p]
        x.XGetWindowAttributes.argtypes = [ctypes.c_void_p, ctypes.c_ulong,
                                           ctypes.POINTER(XWindowAttributes)]
        x.XGetImage.restype = ctypes.POINTER(XImage)
        x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        x.XGetPixel.restype = ctypes.c_ulong
        x.XGetPixel.argtypes = [ctypes.POINTER(XImage), ctypes.c_int, ctypes.c_int]
        x.XDestroyImage.argtypes = [ctypes.POINTER(XImage)]
        x.XSetErrorHandler.argtypes = [ERROR_HANDLER]
        x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        x.XSetErrorHandler(XWatcher._ignore_errors)
        self.display = x.XOpenDisplay(display_name.encode())
        if not self.display:
            raise Broken(f"cannot open the X display {display_name}")
        self.root = x.XDefaultRootWindow(self.display)

    def close(self):
        if self.display:
            self.x.XCloseDisplay(self.display)
            self.display = None

    def _children(self, window):
        root, parent = ctypes.c_ulong(), ctypes.c_ulong()
        children = ctypes.POINTER(ctypes.c_ulong)()
        count = ctypes.c_uint()
        if not self.x.XQueryTree(self.display, window, ctypes.byref(root), ctypes.byref(parent),
                                 ctypes.byref(children), ctypes.byref(count)):
            return []
        result = [children[i] for i in range(count.value)]
        if children:
            self.x.XFree(children)
        return result

    def find_window(self, title, width, height):
        """A viewable window (top level or one level below) with that title or that size."""
        for top in self._children(self.root):
            for window in [top] + self._children(top):
                attributes = XWindowAttributes()
                if not self.x.XGetWindowAttributes(self.display, window, ctypes.byref(attributes)):
                    continue
                if attributes.map_state != 2:  # IsViewable
                    continue
                name = ctypes.c_char_p()
                titled = False
                if self.x.XFetchName(self.display, window, ctypes.byref(name)) and name.value:
                    titled = name.value.decode(errors="replace") == title
                    self.x.XFree(name)
                if titled or (attributes.width, attributes.height) == (width, height):
                    return window
        return None

    def pixel(self, window, px, py):
        image = self.x.XGetImage(self.display, window, px, py, 1, 1, 0xFFFFFFFF, 2)  # ZPixmap
        if not image:
            return None
        value = self.x.XGetPixel(image, 0, 0)
        self.x.XDestroyImage(image)
        return ((value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF)

    def shows_background(self, window):
        # Corners of the window hold nothing but the background on every screen.
        return all(self.pixel(window, px, py) == (11, 13, 16)
                   for px, py in ((4, 4), (555, 4), (4, 300), (555, 300)))
