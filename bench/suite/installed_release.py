"""The installed release that cases 3 to 5 of bench/run share: 20,000 small files and 1 GiB in
large ones (--smoke: 200 and 4 MiB), published as 1.0 and as 1.1 with 1% of the small files
changed, both over one files folder, and 1.0 installed once.
"""

import os
import random
import shutil

from .harness import GiB, MiB, Broken, make_game, say, size_label, split_evenly


class InstalledRelease:
    """Releases 1.0 (release_a, at source_a) and 1.1 (release_b, at source_b), the files that
    differ (changed: digest and path in 1.1) and the install of 1.0 (folder)."""

    def check_nothing_to_do(self, bench):
        """One run of the program on the install of 1.0, which has nothing to do."""
        return bench.run_setup("check", self.source_a, self.folder, expect_needed=0)

    def remove(self, bench):
        bench.remove(self.folder, bench.path("tree-large"),
                     os.path.join(bench.server_root, "a"), os.path.join(bench.server_root, "b"))
        bench.remove_scratch()


def make(bench):
    """Publishes 1.0 and 1.1 (1% of the small files changed), serves them as a/ and b/, and
    installs 1.0."""
    installed = InstalledRelease()
    small_count = 200 if bench.smoke else 20000
    large_total = 4 * MiB if bench.smoke else GiB
    large_count = 2 if bench.smoke else 8
    bench.need_space(4 * large_total + small_count * 16384 + GiB, "cases 3-5")
    say(f"cases 3-5: publishing {small_count} small files and {size_label(large_total)} "
        "in large ones, and installing them")
    rng = random.Random(8)
    small = [(f"data/small/d{i // 100:03}/f{i:05}.dat", rng.randint(256, 8192), False)
             for i in range(small_count)]
    large = [(f"data/large/pack{i}.pak", size, False)
             for i, size in enumerate(split_evenly(large_total, large_count))]
    files = [("bin/varnholt", 4096, True)] + large + small
    game = bench.path("game-large")
    make_game(bench.pool, game, files)
    tree = bench.path("tree-large")
    for name in ("a", "b"):
        os.makedirs(os.path.join(bench.server_root, name, "linux"), exist_ok=True)
        os.symlink(os.path.join(tree, "files"),
                   os.path.join(bench.server_root, name, "linux", "files"))
    installed.release_a = bench.publish(game, "1.0", "bin/varnholt", tree)
    shutil.copy(os.path.join(tree, "latest.manifest"),
                os.path.join(bench.server_root, "a", "linux", "latest.manifest"))
    # Release b changes 1% of the small files (same sizes, new content).
    changed_count = max(1, small_count // 100)
    changed = rng.sample(small, changed_count)
    make_game(bench.pool, game, changed, salt="v2")
    installed.release_b = bench.publish(game, "1.1", "bin/varnholt", tree)
    shutil.copy(os.path.join(tree, "latest.manifest"),
                os.path.join(bench.server_root, "b", "linux", "latest.manifest"))
    os.unlink(os.path.join(tree, "latest.manifest"))
    bench.remove(game)
    old = {path: digest for digest, _, path in installed.release_a.files}
    installed.changed = [(digest, path) for digest, _, path in installed.release_b.files
                         if old.get(path) != digest]
    if len(installed.changed) != changed_count:
        raise Broken(f"release 1.1 differs in {len(installed.changed)} files, "
                     f"expected {changed_count}")
    installed.source_a = bench.nginx.url("a")
    installed.source_b = bench.nginx.url("b")
    installed.folder = bench.path("install-large")
    bench.run_setup("install-large", installed.source_a, installed.folder,
                    expect_needed=len(installed.release_a.files))
    bench.check_install(installed.folder, installed.release_a)
    # The gigabyte just written goes to the disk before anything is timed: a write-back
    # still under way would land on whichever run it meets.
    os.sync()
    installed.small_count = small_count
    installed.large_total = large_total
    return installed
