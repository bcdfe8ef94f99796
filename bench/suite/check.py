"""Case 3 of bench/run: a check with nothing to do on the installed release of 20,000 small
files and 1 GiB of large ones. Baseline: find over the folder, stating every file. Targets: at
most 1.5 x the baseline; bytes read (rchar of /proc/PID/io) at most 4 x the manifest.
"""

import statistics

from .harness import Broken, byte_count, fmt_list, measure, say, seconds, size_label


def run(bench, installed):
    """Case 3 on the installed release of 1.0."""
    manifest_size = len(installed.release_a.text)
    label = (f"check, nothing to do ({installed.small_count} small files + "
             f"{size_label(installed.large_total)})")
    say(f"case 3: {label}")
    find = ["find", installed.folder, "-printf", "%s\n"]
    # One untimed run of each first: both sides start from a warm cache.
    installed.check_nothing_to_do(bench)
    measure(find, bench.env)
    program, baseline, reads = [], [], []
    for _ in range(bench.runs):
        m = installed.check_nothing_to_do(bench)
        program.append(m.wall)
        reads.append(m.rchar)
        f = measure(find, bench.env)
        if f.code != 0:
            raise Broken("find failed")
        baseline.append(f.wall)
    p, b = statistics.median(program), statistics.median(baseline)
    bench.row(3, label + ": wall time", p, b, p / b, "<= 1.50", p <= 1.5 * b, seconds)
    most = max(reads)
    bench.row(3, "  bytes read (rchar, largest run) vs manifest", most, manifest_size,
              most / manifest_size, "<= 4.00", most <= 4 * manifest_size, byte_count)
    bench.notes.append(f"case 3: program {fmt_list(program)} s; find {fmt_list(baseline)} s;"
                       f" rchar {reads}; manifest {manifest_size} bytes; the install holds "
                       f"{installed.release_a.total} bytes")
