"""Case 8 of bench/run: updates of one large file by its changed blocks.

An installed release holds a 1 GiB file (--smoke: 16 MiB); the next release changes it in
two ways, each a case of its own: 1 % of it rewritten in 20 places, and 1 MiB (--smoke:
16 KiB) inserted at its start. The program updates the install from a tree with block
indexes. Baselines, measured in the same run on the same nginx and files: zsync 0.6.2
(zsyncmake's control file beside the new file, `zsync -i <installed file>`), and the
program itself updating from a tree without block indexes (a full download of the file).
Everything runs on loopback, through the proxy that adds a 50 ms round trip on a line of
1 Gbit/s (the fastest line players commonly have), the same over HTTPS with HTTP/2 (as root,
on an nginx of the case's own; zsync speaks only plain HTTP), and through the same proxy at
loopback's bandwidth. Bytes fetched are the body bytes nginx logged for each run (manifest, index or
control file, and the file's ranges).

Targets: bytes fetched at most 5 % of the file and no more than zsync's; wall time below
zsync's, below the full download's on loopback, and at most half the full download's at
50 ms on the 1 Gbit/s line; peak resident memory under 32 MiB. The rows at 50 ms without a
limit on bandwidth have no target against the full download: a gigabyte crosses that link
as fast as loopback, so the full download is bound by the disk and the digest there, as on
loopback, which no real line of 50 ms allows.
"""

import os
import shutil
import statistics
import subprocess

from .network import SYSTEM_BUNDLE, make_certificates

MIB = 1 << 20
CHUNK = 8 * MIB
GIGABIT = 125_000_000  # bytes a second


def write_random(path, size):
    with open(path, "wb") as f:
        left = size
        while left > 0:
            piece = min(left, CHUNK)
            f.write(os.urandom(piece))
            left -= piece


def scattered_change(old, new, size, places, fraction):
    """Copies old to new with fraction of it rewritten in places evenly spread regions."""
    shutil.copyfile(old, new)
    region = int(size * fraction) // places
    with open(new, "r+b") as f:
        for i in range(places):
            # Evenly spread, off the block boundaries.
            f.seek(i * (size // places) + (size // places) // 3 + 777)
            f.write(os.urandom(region))
    return region * places


def inserted_at_start(old, new, inserted):
    with open(new, "wb") as out, open(old, "rb") as f:
        out.write(os.urandom(inserted))
        shutil.copyfileobj(f, out, CHUNK)
    return inserted


def logged_bytes(log, offset, prefix):
    """Body bytes nginx sent for request paths under prefix since offset of its access log."""
    total = 0
    with open(log, "rb") as f:
        f.seek(offset)
        for line in f.read().decode(errors="replace").splitlines():
            parts = line.split('"')
            if len(parts) < 3:
                continue
            request = parts[1].split()
            status_and_bytes = parts[2].split()
            if len(request) >= 2 and request[1].startswith(prefix) and len(status_and_bytes) >= 2:
                total += int(status_and_bytes[1])
    return total


def case8(bench, module):
    """bench: the Bench of bench/run; module: the names of bench/suite/harness.py (helpers and constants)."""
    Broken, measure, say = module["Broken"], module["measure"], module["say"]
    for tool in ("zsync", "zsyncmake", "cmp"):
        if not shutil.which(tool):
            raise Broken(f"{tool} is missing (scripts/setup installs zsync)")
    size = 16 * MIB if bench.smoke else 1024 * MIB
    inserted = 16 * 1024 if bench.smoke else MIB
    bench.need_space(9 * size + 1024 * MIB, "case 8")
    top = bench.path("case8")  # releases and games; served below server_root
    os.makedirs(top)
    os.chmod(top, 0o755)
    served = os.path.join(bench.server_root, "case8")
    os.makedirs(served)
    os.chmod(served, 0o755)
    nginx = bench.nginx
    base = f"http://127.0.0.1:{nginx.port}"

    # The installed release: published, installed once, copied before every run.
    game = os.path.join(top, "game-1")
    os.makedirs(os.path.join(game, "bin"))
    os.makedirs(os.path.join(game, "data"))
    with open(os.path.join(game, "bin", "varnholt"), "w") as f:
        f.write("#!/bin/sh\n")
    os.chmod(os.path.join(game, "bin", "varnholt"), 0o755)
    old_pak = os.path.join(game, "data", "world.pak")
    write_random(old_pak, size)
    bench.publish(game, "1.0", "bin/varnholt", os.path.join(served, "v1", "linux"))
    pristine = os.path.join(top, "installed")
    bench.run_setup("case8-install", f"{base}/case8/v1/linux/", pristine)
    install = os.path.join(top, "install")

    def fresh_install():
        bench.remove_now(install)
        subprocess.run(["cp", "-a", "--reflink=auto", pristine, install], check=True)
        # The copy's gigabyte is written back now, not during the measured run that follows.
        subprocess.run(["sync"], check=True)

    kinds = [("1% changed in 20 places",
              lambda new: scattered_change(old_pak, new, size, 20, 0.01)),
             (f"{inserted // 1024 if inserted < MIB else inserted // MIB} "
              f"{'KiB' if inserted < MIB else 'MiB'} inserted at the start",
              lambda new: inserted_at_start(old_pak, new, inserted))]
    links = [("loopback", nginx, base, None)]
    servers = []
    try:
        line = module["Proxy"](top, nginx.port, delay_ms=25, rate=GIGABIT)
        servers.append(line)
        links.append(("50 ms RTT, 1 Gbit/s", nginx, f"http://127.0.0.1:{line.port}", None))
        if os.geteuid() == 0 and os.path.exists(SYSTEM_BUNDLE) and shutil.which("unshare"):
            ca, cert, key = make_certificates(top)
            os.chmod(key, 0o644)
            tls = module["Nginx"](os.path.join(top, "nginx-tls"), bench.server_root, tls=(cert, key))
            servers.append(tls)
            tls_line = module["Proxy"](top, tls.https_port, delay_ms=25, rate=GIGABIT)
            servers.append(tls_line)
            links.append(("50 ms RTT, 1 Gbit/s, HTTPS+HTTP/2", tls, f"https://localhost:{tls_line.port}", ca))
        else:
            bench.notes.append("case 8: HTTPS not measured (needs root to let the program trust the "
                               "bench's CA)")
        proxy = module["Proxy"](top, nginx.port, delay_ms=25)
        servers.append(proxy)
        links.append(("50 ms RTT, unlimited", nginx, f"http://127.0.0.1:{proxy.port}", None))
        for index, (kind, make) in enumerate(kinds):
            name = f"v2-{index}"
            game2 = os.path.join(top, "game-2")
            bench.remove_now(game2)
            shutil.copytree(game, game2, symlinks=True)
            new_pak = os.path.join(game2, "data", "world.pak")
            os.unlink(new_pak)
            changed = make(new_pak)
            tree = os.path.join(served, name, "linux")
            release = bench.publish(game2, "2.0", "bin/varnholt", tree)
            digest = next(d for d, _, p in release.files if p == "data/world.pak")
            # The same release without block indexes: the program downloads the file whole.
            plain = os.path.join(served, name + "-plain", "linux")
            os.makedirs(os.path.join(plain, "files"))
            for d, _, _ in release.files:
                os.link(os.path.join(tree, "files", d), os.path.join(plain, "files", d))
            shutil.copyfile(os.path.join(tree, "latest.manifest"), os.path.join(plain, "latest.manifest"))
            # zsync's control file beside the same file.
            zfolder = os.path.join(served, name + "-zsync")
            os.makedirs(zfolder)
            os.link(os.path.join(tree, "files", digest), os.path.join(zfolder, "world.pak"))
            subprocess.run(["zsyncmake", "-o", os.path.join(zfolder, "world.pak.zsync"),
                            "-u", "world.pak", os.path.join(zfolder, "world.pak")],
                           check=True, stdout=subprocess.DEVNULL, cwd=zfolder)
            for tree_folder in (os.path.join(served, name), os.path.join(served, name + "-plain"), zfolder):
                for top_folder, folders, files in os.walk(tree_folder):
                    os.chmod(top_folder, 0o755)
            bench.remove_now(game2)
            for link, server, host, ca in links:
                measure_one(bench, module, kind, link, server, host, ca, name, size, changed,
                            new_pak_path=os.path.join(tree, "files", digest), install=install,
                            fresh_install=fresh_install, top=top)
            bench.remove_now(os.path.join(served, name), os.path.join(served, name + "-plain"), zfolder)
    finally:
        for server in reversed(servers):
            server.stop()
    bench.remove(top, served)


def measure_one(bench, module, kind, link, nginx, host, ca, name, size, changed, new_pak_path, install,
                fresh_install, top):
    """One row of links: nginx serves host, over HTTPS when ca (its CA) is given."""
    Broken, measure, say = module["Broken"], module["measure"], module["say"]
    # The case's CA stands in for the system's bundle for the program's process tree.
    prefix = (["unshare", "--mount", "sh", "-c", f'mount --bind "$0" {SYSTEM_BUNDLE} && exec "$@"', ca]
              if ca else [])
    label = f"{module['size_label'](size)} file, {kind}, {link}"
    say(f"case 8: {label}")
    blocks, full, zsync = [], [], []
    for run in range(bench.runs):
        fresh_install()
        offset = nginx.log_size()
        m = bench.run_setup("case8-blocks", f"{host}/case8/{name}/linux/", install, expect_needed=1, prefix=prefix)
        fetched = logged_bytes(nginx.log, offset, f"/case8/{name}/")
        if run == 0 and subprocess.run(["cmp", "-s", new_pak_path, os.path.join(install, "data", "world.pak")]).returncode != 0:
            raise Broken(f"case 8 ({label}): the updated file is not the new release's")
        blocks.append((m.wall, fetched, m.max_rss_kib))

        fresh_install()
        m = bench.run_setup("case8-full", f"{host}/case8/{name}-plain/linux/", install, expect_needed=1, prefix=prefix)
        full.append(m.wall)
        if ca:
            continue  # zsync 0.6.2 fetches over plain HTTP only

        out = os.path.join(top, "zsync-out")
        bench.remove_now(out, out + ".part")
        offset = nginx.log_size()
        m = measure(["zsync", "-q", "-i", os.path.join(bench.path("case8", "installed"), "data", "world.pak"),
                     "-o", out, f"{host}/case8/{name}-zsync/world.pak.zsync"], bench.env, cwd=top)
        if m.code != 0:
            raise Broken(f"zsync ({label}) exited with {m.code}")
        zsync.append((m.wall, logged_bytes(nginx.log, offset, f"/case8/{name}-zsync/")))
        bench.remove_now(out)
    bench.remove_now(install)

    wall = statistics.median(w for w, _, _ in blocks)
    fetched = statistics.median(b for _, b, _ in blocks)
    rss = max(r for _, _, r in blocks) / 1024
    full_wall = statistics.median(full)
    z_wall = statistics.median(w for w, _ in zsync) if zsync else None
    z_bytes = statistics.median(b for _, b in zsync) if zsync else None
    byte_count, seconds, mebibytes = module["byte_count"], module["seconds"], module["mebibytes"]
    if link == "loopback":
        bench.row(8, f"{label}: bytes fetched vs zsync", fetched, z_bytes, fetched / z_bytes,
                  "<= 1.00, <= 5% of file", fetched <= z_bytes and fetched <= 0.05 * size, byte_count)
        bench.row(8, f"{label}: bytes fetched vs changed bytes", fetched, changed, fetched / changed,
                  "-", None, byte_count)
    if zsync:
        bench.row(8, f"{label}: wall time vs zsync", wall, z_wall, wall / z_wall, "< 1.00", wall < z_wall, seconds)
    if link == "loopback":
        target, holds = "< 1.00", wall < full_wall
    elif link.startswith("50 ms RTT, 1 Gbit/s"):
        target, holds = "<= 0.50", wall <= 0.5 * full_wall
    else:
        target, holds = "-", None
    bench.row(8, f"{label}: wall time vs full download", wall, full_wall, wall / full_wall, target, holds, seconds)
    bench.row(8, f"{label}: peak resident memory", rss, None, None, "< 32 MiB", rss < 32, mebibytes)
    bench.notes.append(f"case 8 {label}: bytes {fetched} (zsync {z_bytes if zsync else '-'}, changed {changed}, "
                       f"{100.0 * fetched / size:.2f}% of the file); wall s blocks "
                       f"{module['fmt_list']([w for w, _, _ in blocks])}, full "
                       f"{module['fmt_list'](full)}, zsync {module['fmt_list']([w for w, _ in zsync]) if zsync else '-'}")
