"""Case 7 of bench/run: first installs through a proxy that adds a 50 ms round trip, as
players see the release server, over plain HTTP and over HTTPS with HTTP/2.

Two releases: 200 files of 16 KiB and 20 files of 8 MiB (--smoke: 20 x 16 KiB, 4 x 1 MiB).
Baselines, measured in the same run over the same proxy and URLs: `curl --parallel
--parallel-max 8` and one curl process fetching the files one after the other over one
connection. Targets: at most 1.25 x curl --parallel for the small files, 1.10 x for the large.
HTTPS needs root (the program trusts the bench's CA through a private mount namespace in
which it stands in for the system's CA bundle); without root only plain HTTP is measured.
"""

import os
import shutil
import statistics
import subprocess

from .harness import MiB, Broken, Nginx, Proxy, fmt_list, make_game, measure, say, seconds

SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


def checked_run(argv):
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        raise Broken(f"{argv[0]} failed: " + result.stdout.decode(errors="replace")[-500:])


def make_certificates(folder):
    ca_key, ca = os.path.join(folder, "ca.key"), os.path.join(folder, "ca.pem")
    key, csr = os.path.join(folder, "server.key"), os.path.join(folder, "server.csr")
    cert, ext = os.path.join(folder, "server.pem"), os.path.join(folder, "server.ext")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    checked_run(["openssl", "req", "-x509", *ec, "-keyout", ca_key, "-out", ca, "-days", "2",
                 "-subj", "/CN=Varnholt Bench CA", "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign"])
    checked_run(["openssl", "req", "-new", *ec, "-keyout", key, "-out", csr, "-subj",
                 "/CN=localhost"])
    with open(ext, "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                "extendedKeyUsage=serverAuth\n")
    checked_run(["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key,
                 "-CAcreateserial", "-out", cert, "-days", "2", "-extfile", ext])
    return ca, cert, key


def run(bench):
    """Case 7 over plain HTTP and, as root, over HTTPS, on nginx of its own."""
    small = (20 if bench.smoke else 200, 16 * 1024)
    large = (4 if bench.smoke else 20, (1 if bench.smoke else 8) * MiB)
    folder = bench.path("case7")
    os.makedirs(folder)
    os.chmod(folder, 0o755)

    ca, cert, key = make_certificates(folder)
    os.chmod(key, 0o644)
    with_tls = os.geteuid() == 0 and os.path.exists(SYSTEM_BUNDLE) and shutil.which("unshare")
    if not with_tls:
        bench.notes.append("case 7: HTTPS not measured (needs root to let the program trust the "
                           "bench's CA)")
    root = os.path.join(folder, "server")
    releases = []
    for name, (count, size) in (("small", small), ("large", large)):
        game = os.path.join(folder, "game-" + name)
        files = [("bin/varnholt" if i == 0 else f"data/{name}{i:03}", size, i == 0)
                 for i in range(count)]
        make_game(bench.pool, game, files, salt="net-" + name)
        release = bench.publish(game, "1.0", "bin/varnholt", os.path.join(root, name, "linux"))
        bench.remove_now(game)
        releases.append((name, count, size, release))
    nginx = Nginx(os.path.join(folder, "nginx"), root, tls=(cert, key), access_log=False,
                  connections=1024)
    protocols = [("HTTP/1.1", nginx.port, "http://127.0.0.1")]
    if with_tls:
        protocols.append(("HTTPS+HTTP/2", nginx.https_port, "https://localhost"))
    try:
        for protocol, port, base in protocols:
            proxy = Proxy(folder, port)
            try:
                for name, count, size, release in releases:
                    source = f"{base}:{proxy.port}/{name}/linux/"
                    measure_one(bench, folder, protocol, name, count, size, release, source, ca,
                                base.startswith("https"))
            finally:
                proxy.stop()
    finally:
        nginx.stop()
    bench.remove(folder)


def measure_one(bench, folder, protocol, name, count, size, release, source, ca, tls):
    size_text = f"{size // MiB} MiB" if size >= MiB else f"{size // 1024} KiB"
    label = f"{count} x {size_text}, 50 ms RTT, {protocol}"
    say(f"case 7: {label}")
    install = os.path.join(folder, "install")
    downloads = os.path.join(folder, "curl")
    urls = [source + "files/" + digest for digest, _, _ in release.files]
    config = os.path.join(folder, "curl.conf")
    with open(config, "w") as f:
        for i, url in enumerate(urls):
            f.write(f'url = "{url}"\noutput = "{downloads}/{i:04}"\n')
    curl = ["curl", "-sS", "--fail", "--cacert", ca, "-K", config]
    parallel_argv = curl[:1] + ["--parallel", "--parallel-max", "8"] + curl[1:]
    # The program cannot know the files before it has read the manifest: the same job done by
    # curl is one fetch of latest.manifest, then the files in parallel.
    manifest_first_argv = ["sh", "-c", 'curl -sS --fail --cacert "$0" -o "$1" "$2" && shift 2 && exec "$@"',
                           ca, os.path.join(downloads, "latest.manifest"), source + "latest.manifest"] + parallel_argv
    program, parallel, serial, manifest_first = [], [], [], []
    for _ in range(bench.runs):
        bench.remove_now(install)
        argv = [bench.setup, "--quiet", "--no-register", "--source", source, "--dir", install]
        if tls:
            # The bench's CA stands in for the system's bundle for this one process tree.
            argv = ["unshare", "--mount", "sh", "-c",
                    f'mount --bind "$0" {SYSTEM_BUNDLE} && exec "$@"', ca] + argv
        m = measure(argv, bench.env)
        if m.code != 0:
            raise Broken(f"varnholt-setup ({label}) exited with {m.code}")
        bench.check_install(install, release)
        program.append(m.wall)
        bench.remove_now(install)
        for runs, argv in ((parallel, parallel_argv), (serial, curl), (manifest_first, manifest_first_argv)):
            bench.remove_now(downloads)
            os.makedirs(downloads)
            m = measure(argv, bench.env)
            if m.code != 0:
                raise Broken(f"curl ({label}) failed with {m.code}")
            runs.append(m.wall)
            bench.remove_now(downloads)
    p, b, s, m = (statistics.median(v) for v in (program, parallel, serial, manifest_first))
    target = 1.25 if name == "small" else 1.10
    bench.row(7, label + ": wall time", p, b, p / b, f"<= {target:.2f}", p <= b * target, seconds)
    bench.row(7, "  against curl: the manifest, then --parallel", p, m, p / m, "-", None, seconds)
    bench.notes.append(f"case 7 {label}: program {fmt_list(program)} s; curl --parallel "
                       f"{fmt_list(parallel)} s; the manifest, then curl --parallel "
                       f"{fmt_list(manifest_first)} s; one curl process "
                       f"{fmt_list(serial)} s ({s / p:.1f} x the program's time)")
