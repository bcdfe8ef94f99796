"""Servers and measurement shared by the cases of bench/run: the release server (nginx), the
proxy that adds a round trip, timed runs of one process with its peak memory and bytes read,
the games and releases the cases publish, and the table of results."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PROXY = os.path.join(REPO, "tests", "support", "delaying_proxy.py")
with open(os.path.join(REPO, "tests", "keys", "test-release.pub")) as key_file:
    TEST_KEY = key_file.read().strip()
SEED = os.path.join(REPO, "tests", "keys", "test-release.seed")
NGINX_INCLUDE = os.path.join(REPO, "docs", "nginx", "varnholt-release.conf")
GiB = 1 << 30
MiB = 1 << 20


class Broken(Exception):
    """Something in the suite or the program does not work: the run cannot be trusted."""


STARTED = time.monotonic()


def say(text):
    print(f"[{time.monotonic() - STARTED:6.1f} s] {text}", file=sys.stderr, flush=True)


# ----------------------------------------------------------------------------------------
# Processes: wall time, peak memory, bytes read, CPU time of one child.

class Measurement:
    def __init__(self, wall, code, max_rss_kib, rchar, read_bytes, inblock, cpu):
        self.wall = wall              # seconds from spawn to exit
        self.code = code              # exit code (negative: killed by that signal)
        self.max_rss_kib = max_rss_kib
        self.rchar = rchar            # bytes returned by read-like calls (page cache included)
        self.read_bytes = read_bytes  # bytes fetched from the block device
        self.inblock = inblock
        self.cpu = cpu                # user + system seconds


def read_proc_io(pid):
    values = {}
    try:
        with open(f"/proc/{pid}/io") as io:
            for line in io:
                key, _, value = line.partition(":")
                values[key.strip()] = int(value)
    except (OSError, ValueError):
        pass
    return values


TIME = "/usr/bin/time"


def measure(argv, env, cwd=None, stdout=os.devnull, stderr=None, timeout=3600):
    """Runs argv once under GNU time, which reports the peak resident memory (%M).

    Python cannot measure that itself: a child it spawns starts as a copy of the interpreter,
    whose memory would count as the child's peak. time is small. /proc/PID/io of time is read
    while it is a zombie, before it is reaped: it then includes its reaped child's reads.
    """
    report = tempfile.NamedTemporaryFile(prefix="varnholt-bench-time-", delete=False)
    report.close()
    if cwd:
        argv = ["/bin/sh", "-c", 'cd "$0" && exec "$@"', cwd] + list(argv)
    argv = [TIME, "-f", "%M", "-o", report.name] + list(argv)
    actions = [(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
               (os.POSIX_SPAWN_OPEN, 1, stdout, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)]
    if stderr:
        actions.append((os.POSIX_SPAWN_OPEN, 2, stderr, os.O_WRONLY | os.O_CREAT | os.O_TRUNC,
                        0o644))
    else:
        actions.append((os.POSIX_SPAWN_DUP2, 1, 2))
    try:
        start = time.perf_counter()
        pid = os.posix_spawn(TIME, argv, env, file_actions=actions)
        timer = threading.Timer(timeout, lambda: os.kill(pid, signal.SIGKILL))
        timer.start()
        try:
            os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT)
            wall = time.perf_counter() - start
            io = read_proc_io(pid)
            _, status, usage = os.wait4(pid, 0)
        finally:
            timer.cancel()
        with open(report.name) as f:
            lines = f.read().split()
        max_rss = int(lines[-1]) if lines and lines[-1].isdigit() else -1
    finally:
        os.unlink(report.name)
    return Measurement(wall, os.waitstatus_to_exitcode(status), max_rss,
                       io.get("rchar", -1), io.get("read_bytes", -1), usage.ru_inblock,
                       usage.ru_utime + usage.ru_stime)


def process_cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    # fields[0] is the state (field 3); utime and stime are fields 14 and 15.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def stop_process(process):
    """Ends a child started with subprocess: SIGTERM, and SIGKILL when it is still there 10 s
    later."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, deadline_seconds, process):
    deadline = time.monotonic() + deadline_seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return True
        except OSError:
            time.sleep(0.02)
    return False



def peak_resident_mib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    raise Broken(f"no VmHWM in /proc/{pid}/status")



# ----------------------------------------------------------------------------------------
# The release server and the proxy that adds a round trip.

class Nginx:
    """nginx serving root on loopback with the release server's configuration
    (docs/nginx/varnholt-release.conf): plain HTTP on port and, given tls (the certificate
    and its key), HTTPS offering HTTP/2 on https_port. Requests are logged to log unless
    access_log is false."""

    def __init__(self, folder, root, tls=None, access_log=True, connections=256):
        self.folder = folder
        self.root = root
        self.port = free_port()
        self.https_port = free_port() if tls else None
        self.log = os.path.join(folder, "access.log")
        os.makedirs(folder, exist_ok=True)
        user = "user root root;" if os.geteuid() == 0 else ""
        listen = f"listen 127.0.0.1:{self.port};"
        if tls:
            cert, key = tls
            listen += f"""
    listen 127.0.0.1:{self.https_port} ssl http2;
    server_name localhost;
    ssl_certificate {cert};
    ssl_certificate_key {key};"""
        conf = os.path.join(folder, "nginx.conf")
        with open(conf, "w") as f:
            f.write(f"""daemon off;
{user}
worker_processes 1;
pid {folder}/nginx.pid;
error_log {folder}/error.log warn;
events {{ worker_connections {connections}; }}
http {{
  access_log {self.log if access_log else "off"};
  client_body_temp_path {folder}/body;
  proxy_temp_path {folder}/proxy;
  fastcgi_temp_path {folder}/fastcgi;
  uwsgi_temp_path {folder}/uwsgi;
  scgi_temp_path {folder}/scgi;
  server {{
    {listen}
    root {root};
    include {NGINX_INCLUDE};
  }}
}}
""")
        nginx = shutil.which("nginx") or "/usr/sbin/nginx"
        self.process = subprocess.Popen([nginx, "-c", conf], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        for port in (self.port, self.https_port) if tls else (self.port,):
            if not wait_for_port(port, 10, self.process):
                self.stop()
                said = self.process.stderr.read().decode(errors="replace")
                raise Broken("nginx did not start: " + (said or self.error_log_tail()))

    def url(self, prefix):
        return f"http://127.0.0.1:{self.port}/{prefix}/linux/"

    def log_size(self):
        try:
            return os.path.getsize(self.log)
        except OSError:
            return 0

    def requests_since(self, offset):
        """Request paths logged since offset (a size of the access log)."""
        with open(self.log, "rb") as f:
            f.seek(offset)
            lines = f.read().decode(errors="replace").splitlines()
        paths = []
        for line in lines:
            parts = line.split('"')
            if len(parts) > 1:
                request = parts[1].split()
                if len(request) >= 2:
                    paths.append(request[1])
        return paths

    def error_log_tail(self):
        try:
            with open(os.path.join(self.folder, "error.log")) as f:
                return f.read()[-500:]
        except OSError:
            return "(no error log)"

    def stop(self):
        stop_process(self.process)


class Proxy:
    """The delaying proxy of the tests (tests/support/delaying_proxy.py) in front of
    127.0.0.1:target_port: each chunk is held delay_ms in each direction; with rate, each
    direction carries at most that many bytes a second."""

    def __init__(self, folder, target_port, delay_ms=25, rate=0):
        port_file = os.path.join(folder, f"proxy-{target_port}-{rate}.port")
        if os.path.exists(port_file):
            os.unlink(port_file)
        self.process = subprocess.Popen([sys.executable, PROXY, "--target",
                                         f"127.0.0.1:{target_port}", "--delay-ms", str(delay_ms),
                                         "--port-file", port_file] + (["--rate", str(rate)] if rate else []),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(port_file):
            if time.monotonic() > deadline or self.process.poll() is not None:
                self.stop()
                raise Broken("the delaying proxy did not start")
            time.sleep(0.01)
        with open(port_file) as f:
            self.port = int(f.read())

    def stop(self):
        stop_process(self.process)


# ----------------------------------------------------------------------------------------
# Game folders, releases and installs.

POOL_SIZE = 16 * MiB


class ContentPool:
    """Random bytes reused for every file; a unique header per file keeps contents distinct."""

    def __init__(self):
        self.data = os.urandom(POOL_SIZE)
        self.data2 = self.data + self.data

    def write(self, path, size, salt):
        header = f"{salt}\n".encode()[:size]
        start = hash(salt) % POOL_SIZE
        with open(path, "wb") as f:
            f.write(header)
            left = size - len(header)
            while left > 0:
                piece = min(left, POOL_SIZE)
                f.write(memoryview(self.data2)[start:start + piece])
                left -= piece


def make_game(pool, folder, files, salt="v1"):
    """files: list of (path, size, executable)."""
    for path, size, executable in files:
        full = os.path.join(folder, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        pool.write(full, size, f"{salt} {path}")
        os.chmod(full, 0o755 if executable else 0o644)


class Release:
    def __init__(self, text):
        self.text = text
        self.files = []  # (hash, size, path)
        for line in text.decode().split("\n"):
            keyword, _, value = line.partition(" ")
            if keyword in ("file", "exec"):
                digest, size, path = value.split(" ", 2)
                self.files.append((digest, int(size), path))
            elif keyword == "signature":
                break
        self.total = sum(size for _, size, _ in self.files)


class Bench:
    """One run of the suite: its data folder, the release server, the program, and the rows
    and notes of the table it prints."""

    def __init__(self, args):
        self.args = args
        self.smoke = args.smoke
        self.runs = args.runs
        self.tool = os.path.join(args.build, "varnholt-release")
        self.setup = os.path.join(args.build, "varnholt-setup")
        self.data = args.work
        self.server_root = os.path.join(self.data, "server")
        self.home = os.path.join(self.data, "home")
        os.makedirs(self.server_root, mode=0o755)
        os.makedirs(self.home)
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.home,
                    "XDG_DATA_HOME": os.path.join(self.home, "share"), "LC_ALL": "C"}
        self.pool = ContentPool()
        self.nginx = Nginx(os.path.join(self.data, "nginx"), self.server_root)
        self.rows = []
        self.notes = []
        self.run_number = 0

    def close(self):
        self.nginx.stop()

    # -- helpers -------------------------------------------------------------------------

    def path(self, *parts):
        return os.path.join(self.data, *parts)

    def remove(self, *paths):
        """Deletes what a case made, unless --keep asks to keep everything."""
        if self.args.keep:
            return
        self.remove_now(*paths)

    def remove_now(self, *paths):
        for p in paths:
            if os.path.islink(p) or os.path.isfile(p):
                os.unlink(p)
            elif os.path.isdir(p):
                shutil.rmtree(p)

    def need_space(self, nbytes, what):
        free = shutil.disk_usage(self.data).free
        if free < nbytes:
            raise Broken(f"{what} needs {nbytes / GiB:.1f} GiB free in {self.data}, "
                         f"only {free / GiB:.1f} GiB are")

    def publish(self, game, version, game_path, tree):
        log = self.path("publish.log")
        m = measure([self.tool, "publish", game, version, game_path, SEED, tree], self.env,
                    stdout=log)
        if m.code != 0:
            raise Broken(f"varnholt-release publish {version} failed ({m.code}): "
                         + open(log, errors="replace").read()[-800:])
        with open(os.path.join(tree, "latest.manifest"), "rb") as f:
            return Release(f.read())

    def run_setup(self, name, source, install, *extra, expect_needed=None, prefix=()):
        """One measured run of the program (started through prefix, a command that ends by
        running its arguments); checks its exit code and its plan."""
        self.run_number += 1
        log = self.path(f"setup-{self.run_number}-{name}.log")
        out = self.path(f"setup-{self.run_number}-{name}.out")
        argv = [*prefix, self.setup, "--quiet", "--no-register", "--source", source, "--dir", install,
                "--log", log, *extra]
        m = measure(argv, self.env, stdout=out)
        text = open(log, errors="replace").read() if os.path.exists(log) else ""
        if m.code != 0:
            raise Broken(f"varnholt-setup ({name}) exited with {m.code}; log:\n{text[-1500:]}"
                         + open(out, errors="replace").read()[-500:])
        if expect_needed is not None:
            needed = [line for line in text.splitlines() if line.startswith("needed: ")]
            if not needed or not needed[-1].startswith(f"needed: {expect_needed} files"):
                raise Broken(f"varnholt-setup ({name}) planned {needed[-1:] or 'nothing'}, "
                             f"expected {expect_needed} files")
        os.unlink(log)
        os.unlink(out)
        return m

    def check_install(self, install, release):
        """The files of release stand in install with their sizes."""
        for _, size, path in release.files:
            full = os.path.join(install, path)
            try:
                actual = os.stat(full).st_size
            except OSError:
                raise Broken(f"missing after the install: {path}")
            if actual != size:
                raise Broken(f"wrong size after the install: {path} ({actual}, not {size})")
        count = 0
        for top, folders, names in os.walk(install):
            if top == install:
                folders[:] = [f for f in folders if f != ".staging"]
                names = [n for n in names if not n.startswith("install.")]
            count += len(names)
        if count != len(release.files):
            raise Broken(f"{count} files in the install folder, the release has "
                         f"{len(release.files)}")
        if os.path.exists(os.path.join(install, ".staging")):
            raise Broken("the staging folder stayed after the install")

    def curl_fetch(self, urls_and_outputs, name):
        config = self.path(f"curl-{name}.conf")
        with open(config, "w") as f:
            for url, output in urls_and_outputs:
                f.write(f'url = "{url}"\noutput = "{output}"\n')
        log = self.path(f"curl-{name}.log")
        m = measure(["curl", "-sS", "--fail", "-K", config], self.env, stdout=log)
        if m.code != 0:
            raise Broken(f"curl failed ({m.code}): " + open(log, errors="replace").read()[-500:])
        return m

    def b2sum(self, cwd, paths, expected, name):
        listing = self.path(f"b2sum-{name}.list")
        with open(listing, "wb") as f:
            f.write(b"\0".join(p.encode() for p in paths) + b"\0")
        out = self.path(f"b2sum-{name}.out")
        m = measure(["xargs", "-0", "-a", listing, "b2sum", "-l", "256"], self.env, cwd=cwd,
                    stdout=out)
        if m.code != 0:
            raise Broken(f"b2sum failed ({m.code})")
        with open(out) as f:
            sums = [line.split(" ", 1)[0] for line in f]
        if sorted(sums) != sorted(expected):
            raise Broken(f"b2sum gave other digests than the release ({name})")
        return m

    def row(self, case, measure_name, program, baseline, ratio, target, holds, unit_fmt):
        self.rows.append((case, measure_name, unit_fmt(program),
                          unit_fmt(baseline) if baseline is not None else "-",
                          f"{ratio:.2f}" if ratio is not None else "-", target,
                          "-" if holds is None else "yes" if holds else "NO"))

    def remove_scratch(self):
        for name in os.listdir(self.data):
            if name.startswith(("curl", "b2sum-", "publish.log")):
                self.remove(self.path(name))


# ----------------------------------------------------------------------------------------
# Formatting.

def split_evenly(total, count):
    base, extra = divmod(total, count)
    return [base + (1 if i < extra else 0) for i in range(count)]


def size_label(n):
    if n >= GiB and n % GiB == 0:
        return f"{n // GiB} GiB"
    return f"{n / MiB:.0f} MiB"


def fmt_list(values):
    return "[" + ", ".join(f"{v:.3f}" if v < 10 else f"{v:.1f}" for v in values) + "]"


def seconds(v):
    return f"{v:.3f} s"


def mebibytes(v):
    return f"{v:.1f} MiB"


def megabytes_s(v):
    return f"{v:.0f} MB/s"


def milliseconds(v):
    return f"{v:.0f} ms"


def percent(v):
    return f"{v:.2f}%"


def byte_count(v):
    return f"{v / 1e6:.2f} MB" if v >= 1e6 else f"{v / 1e3:.1f} kB"


def plain(v):
    return str(v)


def print_table(rows):
    header = ("case", "measure", "program", "baseline", "ratio", "target", "holds")
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    line = "  ".join("{:<%d}" % w for w in widths)
    print(line.format(*header))
    print(line.format(*("-" * w for w in widths)))
    for r in rows:
        print(line.format(*(str(c) for c in r)))


# ----------------------------------------------------------------------------------------
# Before the run: the build, the tools, the machine's load.

def check_build(build, smoke):
    for name in ("varnholt-setup", "varnholt-release"):
        if not os.access(os.path.join(build, name), os.X_OK):
            raise Broken(f"{build}/{name} is missing: build the program first (see scripts/test)")
    cache = {}
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            for line in f:
                key, _, value = line.strip().partition("=")
                cache[key.split(":")[0]] = value
    except OSError:
        pass
    if cache.get("VARNHOLT_RELEASE_PUBLIC_KEY", TEST_KEY) != TEST_KEY:
        raise Broken(f"{build} was configured with another release key; the suite signs with "
                     f"the test key {TEST_KEY}")
    kind = cache.get("CMAKE_BUILD_TYPE", "")
    if not smoke and kind not in ("Release", "RelWithDebInfo"):
        say(f"note: {build} is a {kind or 'default'} build; use a Release build for figures")
    if not os.access(TIME, os.X_OK):
        raise Broken(f"{TIME} is missing (package time; scripts/setup installs it)")
    for tool in ("nginx", "curl", "b2sum", "find", "xargs"):
        if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
            raise Broken(f"{tool} is missing (scripts/setup installs it)")


def load_average():
    """The one-minute load average: other work on the machine makes every figure noisier."""
    try:
        with open("/proc/loadavg") as f:
            return f.read().split()[0]
    except OSError:
        return "?"


LOAD_AT_START = load_average()
