"""Case 4 of bench/run: --repair on the installed release after one same-size change.
Baseline: b2sum -l 256 over the same files with a warm page cache. Target: at least 0.9 x its
throughput.
"""

import os
import statistics

from .harness import fmt_list, megabytes_s, say, size_label


def run(bench, installed):
    """Case 4 on the installed release of 1.0."""
    label = f"--repair after one same-size change ({size_label(installed.release_a.total)})"
    say(f"case 4: {label}")
    digest, size, victim = next(f for f in installed.release_a.files
                                if f[2].startswith("data/small/"))
    victim_path = os.path.join(installed.folder, victim)
    paths = [path for _, _, path in installed.release_a.files]
    digests = [d for d, _, _ in installed.release_a.files]
    bench.b2sum(installed.folder, paths, digests, "case4")  # warms the page cache
    program, baseline = [], []
    for _ in range(bench.runs):
        with open(victim_path, "r+b") as f:
            first = f.read(1)
            f.seek(0)
            f.write(bytes([first[0] ^ 0xFF]))
        os.sync()
        m = bench.run_setup("repair", installed.source_a, installed.folder, "--repair",
                            expect_needed=1)
        program.append(m.wall)
        b = bench.b2sum(installed.folder, paths, digests, "case4")
        baseline.append(b.wall)
    total = installed.release_a.total
    p = total / statistics.median(program) / 1e6
    b = total / statistics.median(baseline) / 1e6
    bench.row(4, label + ": throughput", p, b, p / b, ">= 0.90", p >= 0.9 * b, megabytes_s)
    bench.notes.append(f"case 4: program {fmt_list(program)} s; b2sum {fmt_list(baseline)} s")
