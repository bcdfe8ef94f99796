"""Case 5 of bench/run: an update that changes 1% of the 20,000 small files of the installed
release. Exactly those are requested (nginx's access log), and the wall time is at most 1.2 x
(curl fetching just those files + the time of the program's check with nothing to do). Each
round waits a minute after the previous round's deletions (not with --smoke).
"""

import os
import statistics
import time

from .harness import Broken, fmt_list, plain, say, seconds


def let_deletions_age(bench):
    """Waits until the files deleted by the previous round are no longer recent.

    ext4 without a journal (as on the machines this suite was written on) passes over
    inodes freed in the last minute when it creates a file, and scans each of them again
    for every new file. The untimed downgrade of the round before frees 200 inodes where
    the next update creates its 200, and made that update pay for it (a tenth of its
    processor time in recently_deleted). A player's updates are days apart, so the timed
    rounds start after the wait; the curl baseline gets the same wait.
    """
    if bench.smoke:
        return
    os.sync()  # a dirty inode table block keeps its inodes recent for five minutes
    time.sleep(61)


def run(bench, installed):
    """Case 5: from 1.0 to 1.1 on the installed release, and back (untimed) after each run."""
    count = len(installed.changed)
    label = f"update of {count} of {len(installed.release_b.files)} files"
    say(f"case 5: {label}")
    downloads = bench.path("curl5")
    pairs = [(installed.source_b + "files/" + digest, os.path.join(downloads, f"{i:05}"))
             for i, (digest, _) in enumerate(installed.changed)]
    expected_paths = sorted(f"/b/linux/files/{digest}" for digest, _ in installed.changed)
    installed.check_nothing_to_do(bench)
    program, fetches, checks, requests = [], [], [], []
    for _ in range(bench.runs):
        bench.remove_now(downloads)
        os.makedirs(downloads)
        let_deletions_age(bench)
        checks.append(installed.check_nothing_to_do(bench).wall)
        fetches.append(bench.curl_fetch(pairs, "case5").wall)
        os.sync()
        offset = bench.nginx.log_size()
        m = bench.run_setup("update", installed.source_b, installed.folder, expect_needed=count)
        program.append(m.wall)
        fetched = sorted(p for p in bench.nginx.requests_since(offset) if "/files/" in p)
        requests.append(len(fetched))
        if fetched != expected_paths:
            raise Broken(f"the update fetched {len(fetched)} files, expected exactly the "
                         f"{count} changed ones")
        bench.check_install(installed.folder, installed.release_b)
        # Back to 1.0 for the next run (untimed).
        bench.run_setup("downgrade", installed.source_a, installed.folder, expect_needed=count)
    p = statistics.median(program)
    b = statistics.median(fetches) + statistics.median(checks)
    bench.row(5, label + ": files requested", requests[-1], count, requests[-1] / count,
              "= 1.00", requests[-1] == count, plain)
    bench.row(5, "  wall time vs curl of those + the check", p, b, p / b, "<= 1.20",
              p <= 1.2 * b, seconds)
    bench.notes.append(f"case 5: program {fmt_list(program)} s; curl {fmt_list(fetches)} s; "
                       f"check {fmt_list(checks)} s")
