#!/usr/bin/env python3
"""Measures marlovex-batch against the unavoidable work and peer tools, in
one run, each on a fresh copy of the same tree with a warm page cache.

Prints files/s, MB/s, peak memory and each tool's time as a ratio to the
floor (bench/floor.cpp: stat, read whole, write whole to a new file,
replace, per file), and each tool's time to durable: its run and then a
`sync -f` of the tree's file system, as a ratio to the durable floor (the
same, with the new file flushed before the rename and its folder after).
Run it on a disk: on a tmpfs a flush costs nothing.

usage: run_bench.py TREE BUILD-DIR [--repeat N]   (N rounds, default 9)
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def tree_files(root):
    out = []
    for folder, _, names in os.walk(root):
        out.extend(os.path.join(folder, n) for n in names)
    return sorted(out)


def timed(command):
    """Wall time in seconds and peak resident memory in bytes of `command`.
    GNU time reports the peak: a child of this Python process would count
    the interpreter's own memory, which it had before exec."""
    report = tempfile.NamedTemporaryFile(prefix="bench-time-", delete=False)
    report.close()
    start = time.perf_counter()
    code = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + command,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
    elapsed = time.perf_counter() - start
    with open(report.name) as f:
        peak_kib = int(f.read().split()[-1])
    os.unlink(report.name)
    if code not in (0, 1):
        raise RuntimeError("%s exited with %d" % (command[0], code))
    return elapsed, peak_kib * 1024


def fresh_copy(tree, work):
    shutil.rmtree(work, ignore_errors=True)
    subprocess.run(["cp", "-r", tree, work], check=True)
    subprocess.run(["sync"], check=True)  # the copy's pages stay cached, clean


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tree")
    parser.add_argument("build")
    parser.add_argument("--repeat", type=int, default=9)
    args = parser.parse_args()

    tree = os.path.abspath(args.tree)
    files = tree_files(tree)
    total = sum(os.path.getsize(f) for f in files)
    largest = max(os.path.getsize(f) for f in files)
    work = tree + ".work"
    batch = os.path.join(args.build, "marlovex-batch")
    floor = os.path.join(args.build, "marlovex-floor")

    tools = [
        ("floor (stat, read, write new, replace)", lambda w: [floor, w]),
        ("durable floor (+ flush it, flush folder)", lambda w: [floor, "--durable", w]),
        ("marlovex-batch (XMP)", lambda w: [batch, w]),
        ("marlovex-batch --all-app", lambda w: [batch, "--all-app", w]),
    ]
    if shutil.which("exiftool"):
        tools.append(("exiftool -xmp:all=", lambda w: ["exiftool", "-q", "-q", "-r", "-overwrite_original", "-xmp:all=", w]))
        tools.append(("exiftool -all=", lambda w: ["exiftool", "-q", "-q", "-r", "-overwrite_original", "-all=", w]))
    if shutil.which("exiv2"):
        tools.append(("exiv2 -d x rm", lambda w: ["exiv2", "-d", "x", "rm"] + tree_files(w)))
    if shutil.which("jhead"):
        tools.append(("jhead -purejpg", lambda w: ["jhead", "-q", "-purejpg"] + tree_files(w)))

    # Rounds are interleaved, so that a slow spell of the machine falls on
    # every tool alike; each tool's median over the rounds is reported.
    measured = {name: ([], [], []) for name in ["cp -r"] + [name for name, _ in tools]}
    for _ in range(args.repeat):
        shutil.rmtree(work, ignore_errors=True)
        subprocess.run(["cat"] + files, stdout=subprocess.DEVNULL, check=True)  # warm the source
        subprocess.run(["sync"], check=True)
        runs = [("cp -r", lambda w: ["cp", "-r", tree, w])] + tools
        for name, command in runs:
            if name != "cp -r":
                fresh_copy(tree, work)  # before the command, which may list its files
            t, m = timed(command(work))
            # The rest of its writes reach the disk, so they do not spill
            # into the next tool's time: the time to durable.
            start = time.perf_counter()
            subprocess.run(["sync", "-f", work], check=True)
            measured[name][0].append(t)
            measured[name][1].append(m)
            measured[name][2].append(t + time.perf_counter() - start)
    results = [(name, statistics.median(times), max(peaks), statistics.median(durable))
               for name, (times, peaks, durable) in measured.items()]
    shutil.rmtree(work, ignore_errors=True)

    floor_time, floor_durable = next((t, d) for n, t, _, d in results if n.startswith("floor"))
    durable_floor = next(d for n, _, _, d in results if n.startswith("durable floor"))
    print("tree: %d files, %.1f MB, largest %.2f MB; median of %d runs" %
          (len(files), total / 1e6, largest / 1e6, args.repeat))
    print("%-42s %9s %9s %9s %10s %8s %11s %10s" %
          ("tool", "seconds", "files/s", "MB/s", "peak MiB", "x floor", "to durable", "x durable"))
    for name, t, peak, durable in results:
        print("%-42s %9.3f %9.1f %9.1f %10.1f %8.2f %11.3f %10.2f" %
              (name, t, len(files) / t, total / 1e6 / t, peak / 1048576, t / floor_time, durable,
               durable / durable_floor))
    limit = largest + 4 * 1048576
    for name, t, peak, durable in results:
        if name.startswith("marlovex-batch"):
            print("%s: to durable %.2fx the durable floor (goal 1.05x) and %.2fx the floor's run and sync "
                  "(goal 1.2x); run %.2fx the floor; peak %.1f MiB (goal %.1f MiB: largest file + 4 MiB)" %
                  (name, durable / durable_floor, durable / floor_durable, t / floor_time, peak / 1048576,
                   limit / 1048576))
    return 0


if __name__ == "__main__":
    sys.exit(main())
