#!/usr/bin/env python3
"""Times the window against the console front end on the same trees.

For each size N: a tree of N small JPEG files in folders of 400, each with
one XMP segment, and a copy of it. marlovex-batch cleans the copy; the real
marlovex.exe, under Wine on a virtual X display and driven as the end-to-end
tests drive it, gets the tree by an XDND drop and then START.

  listing  the drop until START is enabled
  run      START pressed until the run has ended (START enabled again)

Afterwards every file of the tree must equal its copy byte for byte and
hold no XMP segment, and the log must end with the batch's total line.
A third copy is cleaned by marlovex-batch.exe, the same front end built
for Windows, under the same Wine: the worker's own cost there, without a
window. Prints a Markdown table, the window's time beside both; the goal
is 1.5 x the time of marlovex-batch.exe under Wine + 3 s (+ 10 s from
10,000 files), since Wine's ReplaceFileW alone costs more than a goal set
against the native batch could allow.

usage: gui_bench.py --exe marlovex.exe --driver driver.exe --timer gui_timer.exe --batch marlovex-batch
                    [--sizes 400,1600,10000]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "tests", "e2e"), os.path.join(HERE, "..", "tests")]
import wine_e2e as e2e  # noqa: E402
import xdnd  # noqa: E402
from jpegdata import IMAGE, JFIF, SOI, XMP, write  # noqa: E402

FOLDER_SIZE = 400
PHOTO = SOI + JFIF + XMP + IMAGE
CLEANED = SOI + JFIF + IMAGE


def make_tree(root, count):
    for i in range(count):
        write("%s/d%03d/%05d.jpg" % (root, i // FOLDER_SIZE, i), PHOTO)


def driver_ms(*args, timeout):
    """Runs a timing command (gui_timer.cpp); the milliseconds it printed."""
    result = subprocess.run(["wine", e2e.ARGS.timer] + [str(a) for a in args], env=e2e.wine_env(e2e.EN),
                            capture_output=True, timeout=timeout)
    if result.returncode != 0:
        raise RuntimeError("gui_timer %s failed with %d" % (args[0], result.returncode))
    return int(result.stdout.split()[-1])


def measure(count, work):
    tree = os.path.join(work, "gui", "photos")
    copy = os.path.join(work, "batch", "photos")
    wine_copy = os.path.join(work, "wine-batch", "photos")
    for root in (tree, copy, wine_copy):
        make_tree(root, count)
    subprocess.run(["sync"])

    # The same console front end built for Windows, under Wine: what the
    # worker costs there without any window.
    start = time.perf_counter()
    subprocess.run(["wine", e2e.ARGS.wine_batch, e2e.windows_path(wine_copy)], env=e2e.wine_env(e2e.EN),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    wine_batch_seconds = time.perf_counter() - start

    start = time.perf_counter()
    batch = subprocess.run([e2e.ARGS.batch, copy], capture_output=True, env=dict(os.environ, LC_ALL="C"))
    batch_seconds = time.perf_counter() - start
    if batch.returncode != 0:
        raise RuntimeError("marlovex-batch failed: %r" % batch.stderr[-300:])

    cwd = os.path.join(work, "cwd")
    os.makedirs(cwd, exist_ok=True)
    app = e2e.App(cwd)
    try:
        limit = 3600
        start = time.perf_counter()
        if not xdnd.drop(e2e.WINE["display"], "marlovex", [tree]):
            raise RuntimeError("the drop was refused")
        driver_ms("wait-enabled", 1002, limit * 1000, timeout=limit + 60)
        listing = time.perf_counter() - start
        run = driver_ms("run", limit * 1000, timeout=limit + 60) / 1000.0
        log = app.log()
    finally:
        app.close()

    total = batch.stdout.split(b"\n")[-2]
    problems = []
    if not log.endswith(b"Completed\r\n" + total + b"\r\n"):
        problems.append("the log does not end with %r" % total)
    for folder, _, names in os.walk(tree):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                data = f.read()
            with open(copy + path[len(tree):], "rb") as f:
                twin = f.read()
            if data != CLEANED or twin != CLEANED:
                problems.append("not cleaned: " + path)
    if problems:
        raise RuntimeError("; ".join(problems[:5]))
    return listing, run, batch_seconds, wine_batch_seconds


def responsiveness(count, work):
    """While a run of `count` photos goes on: how often the log moved during
    3 s, its longest stand-still, the dialog's slowest answer, and how long
    STOP took to bring up its box."""
    tree = os.path.join(work, "photos")
    make_tree(tree, count)
    cwd = os.path.join(work, "cwd")
    os.makedirs(cwd)
    app = e2e.App(cwd)
    try:
        if not xdnd.drop(e2e.WINE["display"], "marlovex", [tree]):
            raise RuntimeError("the drop was refused")
        driver_ms("wait-enabled", 1002, 600 * 1000, timeout=660)
        e2e.driver("click", 1002)
        time.sleep(1.0)
        watched = subprocess.run(["wine", e2e.ARGS.timer, "watch", "3000"], env=e2e.wine_env(e2e.EN),
                                 capture_output=True, timeout=60).stdout.split()
        stop = driver_ms("stop", timeout=60)
        e2e.driver("ok")
    finally:
        app.close()
    return int(watched[1]) / 3.0, int(watched[3]), int(watched[5]), stop


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--timer", required=True)
    parser.add_argument("--batch", required=True)
    parser.add_argument("--sizes", default="400,1600,10000")
    # marlovex-batch.exe is taken from beside marlovex.exe.
    args = parser.parse_args()
    args.exe, args.driver, args.timer, args.batch = map(os.path.abspath, (args.exe, args.driver, args.timer, args.batch))
    args.wine_batch = os.path.join(os.path.dirname(args.exe), "marlovex-batch.exe")
    args.artifacts = None
    e2e.ARGS = args
    e2e.setUpModule()
    rows = []
    try:
        for count in [int(n) for n in args.sizes.split(",")]:
            work = tempfile.mkdtemp(prefix="marlovex-gui-bench-")
            try:
                listing, run, batch, wine_batch = measure(count, work)
            finally:
                shutil.rmtree(work, ignore_errors=True)
            allowance = 3 if count <= 1600 else 10
            goal = 1.5 * wine_batch + allowance
            rows.append("| %s | %.1f s | %.1f s | %.1f s | %.2f s | %.1f s | %.1f s (%s) |" %
                        ("{:,}".format(count), listing, run, listing + run, batch, wine_batch, goal,
                         "met" if listing + run <= goal else "missed"))
            print(rows[-1], file=sys.stderr)
        work = tempfile.mkdtemp(prefix="marlovex-gui-bench-")
        try:
            moves, still, answer, stop = responsiveness(4000, work)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    finally:
        e2e.tearDownModule()
    print("| files | listing | run | window in all | marlovex-batch | marlovex-batch.exe under Wine | "
          "goal: 1.5 x that + 3 s (10 s at 10,000) |")
    print("|---|---|---|---|---|---|---|")
    print("\n".join(rows))
    print()
    print("During a run of 4,000 photos: the log moved %.1f times a second (longest stand-still %d ms), "
          "the dialog answered within %d ms, STOP brought up its box after %d ms." % (moves, still, answer, stop))


if __name__ == "__main__":
    main()
