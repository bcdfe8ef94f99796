"""Cases 1 and 2 of bench/run: a first install of 1 GiB (case 1) and of 4 GiB (case 2) in 200
files. Baseline: one curl process fetching the same files to disk (curl -K with url/output
pairs), then b2sum -l 256 over them. Targets: wall time at most 1.0 x the baseline; peak
resident memory under 32 MiB, flat in the size of the game.
"""

import os
import statistics

from .harness import (GiB, Broken, fmt_list, make_game, mebibytes, say, seconds, size_label,
                      split_evenly)


def run(bench, case, total, count):
    """Case 1 (1 GiB) or 2 (4 GiB): a first install of total bytes in count files."""
    label = f"first install, {size_label(total)} in {count} files"
    say(f"case {case}: {label}")
    bench.need_space(3 * total + GiB, f"case {case}")
    game = bench.path(f"game{case}")
    tree = os.path.join(bench.server_root, f"c{case}", "linux")
    sizes = split_evenly(total, count)
    files = [("bin/varnholt" if i == 0 else f"data/pack/file{i:03}.pak", sizes[i], i == 0)
             for i in range(count)]
    make_game(bench.pool, game, files)
    release = bench.publish(game, "1.0", "bin/varnholt", tree)
    bench.remove(game)
    if len(release.files) != count or release.total != total:
        raise Broken(f"the published release has {len(release.files)} files of "
                     f"{release.total} bytes, expected {count} of {total}")
    source = bench.nginx.url(f"c{case}")
    install = bench.path(f"install{case}")
    downloads = bench.path(f"curl{case}")
    pairs = [(source + "files/" + digest, os.path.join(downloads, f"{i:03}"))
             for i, (digest, _, _) in enumerate(release.files)]
    names = [f"{i:03}" for i in range(count)]
    digests = [digest for digest, _, _ in release.files]
    program, baseline, memory = [], [], []
    for _ in range(bench.runs):
        bench.remove_now(install)
        os.sync()
        m = bench.run_setup(f"install{case}", source, install, expect_needed=count)
        bench.check_install(install, release)
        program.append(m.wall)
        memory.append(m.max_rss_kib)
        bench.remove_now(install)
        bench.remove_now(downloads)
        os.makedirs(downloads)
        os.sync()
        fetch = bench.curl_fetch(pairs, f"case{case}")
        sums = bench.b2sum(downloads, names, digests, f"case{case}")
        baseline.append(fetch.wall + sums.wall)
        bench.remove_now(downloads)
    p, b = statistics.median(program), statistics.median(baseline)
    bench.row(case, label + ": wall time", p, b, p / b, "<= 1.00", p <= b * 1.0, seconds)
    peak = max(memory) / 1024
    bench.row(case, "  peak resident memory (largest run)", peak, None, None, "< 32 MiB",
              peak < 32, mebibytes)
    bench.notes.append(f"case {case}: program {fmt_list(program)} s; curl+b2sum "
                       f"{fmt_list(baseline)} s; {total / p / 1e6:.0f} MB/s")
    bench.remove(install, os.path.join(bench.server_root, f"c{case}"))
    bench.remove_scratch()
