#!/usr/bin/env python3
"""marlovex-batch end to end, as tables: command lines -> files, standard
output, standard error and exit status, byte for byte; signals; failures of
the system; the order of flushes on the real system calls.

usage: batch_test.py PATH-TO-marlovex-batch
"""
import os
import re
import resource
import signal
import subprocess
import sys
import tempfile
import unittest

from jpegdata import ADOBE, BIG, BIG_CLEANED, EXIF, ICC, IMAGE, JFIF, SOI, XMP, kill_while_held, read, write

BATCH = None
UNDER_STRACE = {"ASAN_OPTIONS": "detect_leaks=0"}  # LeakSanitizer cannot work under ptrace
PHOTO = SOI + XMP + IMAGE


def run(args, env=None, cwd=None, program=None, **options):
    """marlovex-batch with `args`, or `program` (such as strace) with them."""
    full_env = dict(os.environ, **dict({"LANG": "C", "LC_ALL": "", "LC_MESSAGES": ""}, **(env or {})))
    options.setdefault("capture_output", "stdout" not in options)
    return subprocess.run([program or BATCH] + args, env=full_env, cwd=cwd, timeout=120, **options)


def temporary_files(root):
    return [name for _, _, names in os.walk(root) for name in names if "marlovex" in name]


def cleaned(path, removed=len(XMP), prefix="XMP removed: "):
    return "%s%s\n%d byte data was removed.\n" % (prefix, path, removed)


def total(removed):
    return "Completed\nTotal %d byte data was removed.\n" % removed


class BatchTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="marlovex-batch-")
        self.addCleanup(subprocess.run, ["rm", "-rf", self.root])

    def make(self, names, data=PHOTO):
        for name in names:
            write(self.root + "/" + name, data)
        return [self.root + "/" + name for name in names]

    def test_command_lines(self):
        """Rows: files (name: bytes), arguments, environment -> exit status,
        standard output, standard error ($R the root), and each file after."""
        deep = "/".join(["d" * 60] * 5) + "/x.jpg"  # a path of any length is taken whole
        tree = {"a.jpg": SOI + JFIF + EXIF + XMP + IMAGE, "b.JPG": SOI + ADOBE + ICC + IMAGE, "c.txt": PHOTO,
                "sub/.hidden.jpg": PHOTO, "sub/small.jpg": SOI, "png/png.jpg": b"\x89PNG" + IMAGE}
        ja = "$R/x.jpg\n開始しました\nXMP 削除: $R/x.jpg\n%d バイトのデータが削除されました\n完了しました\n" \
             "合計 %d バイトのデータが削除されました\n" % (len(XMP), len(XMP))
        en = "$R/x.jpg\nStarted\n" + cleaned("$R/x.jpg") + total(len(XMP))
        usage = "usage: marlovex-batch [--all-app] PATH...\n"
        all_app = lambda path, removed: cleaned(path, removed, "APP headers removed: ")
        none = "No file has been converted.\n"
        # Files (bytes; None: a FIFO; under ro/: read-only), arguments (run in $R), environment -> exit status,
        # standard output, standard error (None: not compared), files that changed.
        rows = [
            (tree, ["a.jpg", "b.JPG", "c.txt", "sub", "png"], {}, 0, "$R/a.jpg\n$R/b.JPG\n$R/sub/small.jpg\n"
             "$R/png/png.jpg\nStarted\n" + cleaned("$R/a.jpg") + total(len(XMP)) + "No XMP: $R/b.JPG\n"
             + total(len(XMP)) * 2 + "Too small: $R/sub/small.jpg\n" + total(len(XMP))
             + "Header Broken: $R/png/png.jpg\n" + total(len(XMP)), "", {"a.jpg": SOI + JFIF + EXIF + IMAGE}),
            (tree, ["--all-app", "a.jpg", "b.JPG"], {}, 0, "$R/a.jpg\n$R/b.JPG\nStarted\n"
             + all_app("$R/a.jpg", len(JFIF + EXIF + XMP)) + total(len(JFIF + EXIF + XMP))
             + all_app("$R/b.JPG", len(ICC)) + total(len(JFIF + EXIF + XMP + ICC)), "",
             {"a.jpg": SOI + IMAGE, "b.JPG": SOI + ADOBE + IMAGE}),
            ({"two/y.jpg": PHOTO, "empty/": b""}, ["two", "empty"], {}, 0, "$R/two/y.jpg\nStarted\n"
             + cleaned("$R/two/y.jpg") + total(len(XMP)) * 2, "", {"two/y.jpg": SOI + IMAGE}),
            ({"-x.jpg": PHOTO}, ["--", "-x.jpg"], {}, 0, "$R/-x.jpg\nStarted\n" + cleaned("$R/-x.jpg")
             + total(len(XMP)), "", {"-x.jpg": SOI + IMAGE}),
            ({deep: PHOTO}, [deep], {}, 0, "$R/%s\nStarted\n%s%s" % (deep, cleaned("$R/" + deep), total(len(XMP))),
             "", {deep: SOI + IMAGE}),
            ({"cr\rin name.jpg": PHOTO}, ["."], {}, 0, "$R/./cr\rin name.jpg\nStarted\n"
             + cleaned("$R/./cr\rin name.jpg") + total(len(XMP)), "", {"cr\rin name.jpg": SOI + IMAGE}),
            ({"x.jpg": PHOTO}, [".", "/"], {}, 1, "", "Error: Don't drop the root folder of the drive\n", {}),
            ({}, ["-"], {}, 1, "", "Error: Found invalid files/folders\n", {}),  # a path, missing
            ({"ro/x.jpg": PHOTO}, ["ro"], {}, 1, "$R/ro/x.jpg\nStarted\n" + none, "Error: Can't open: $R/ro/x.jpg\n",
             {}),
            ({"fifo.jpg": None}, ["fifo.jpg"], {}, 0, "$R/fifo.jpg\nStarted\nCan't read: $R/fifo.jpg\n" + none, None,
             {}),
            ({"empty/": b""}, ["empty"] * 256, {}, 0, "Started\n" + none * 256, "", {}),
            ({"empty/": b""}, ["empty"] * 257, {}, 2, "", "marlovex-batch: at most 256 paths at once\n", {}),
            ({}, [], {}, 2, "", usage, {}),
            ({}, ["--bogus", "."], {}, 2, "", "marlovex-batch: unknown option --bogus\n" + usage, {}),
            ({"x.jpg": PHOTO}, ["x.jpg"], {"LANG": "ja_JP.eucJP"}, 0, ja, "", {"x.jpg": SOI + IMAGE}),
            ({"x.jpg": PHOTO}, ["x.jpg"], {"LC_MESSAGES": "ja_JP.UTF-8"}, 0, ja, "", {"x.jpg": SOI + IMAGE}),
            ({"x.jpg": PHOTO}, ["x.jpg"], {"LC_MESSAGES": "C", "LANG": "ja_JP.UTF-8"}, 0, en, "",
             {"x.jpg": SOI + IMAGE}),
            ({"x.jpg": PHOTO}, ["x.jpg"], {"LANG": "ja_XX.UTF-8"}, 0, en, "", {"x.jpg": SOI + IMAGE}),
        ]
        for n, (files, args, env, code, out, err, changed) in enumerate(rows):
            with self.subTest(n=n, args=args[:3]):
                r = "%s/%d" % (self.root, n)
                os.makedirs(r)
                for name, data in files.items():
                    os.makedirs(os.path.dirname(r + "/" + name), exist_ok=True)
                    if data is None:
                        os.mkfifo(r + "/" + name)
                    elif not name.endswith("/"):
                        write(r + "/" + name, data)
                        os.chmod(r + "/" + name, 0o444 if name.startswith("ro/") else 0o644)
                result = run([a.replace("$R", r) for a in args], cwd=r, env=env)
                self.assertEqual((result.returncode, result.stdout.decode()), (code, out.replace("$R", r)))
                if err is not None:  # a FIFO's load also reports on standard error
                    self.assertEqual(result.stderr.decode(), err.replace("$R", r))
                for name, data in files.items():
                    if data and not name.endswith("/"):
                        self.assertEqual(read(r + "/" + name), changed.get(name, data), name)
                self.assertEqual(temporary_files(r), [])
        for arg in ("--help", "-h"):
            self.assertTrue(run([arg]).stdout.startswith(usage.encode()), arg)

    def test_killed_in_place_then_repaired(self):
        """A large photo with two names, killed while it is rewritten in
        place: its copy lies beside it, and the next run puts it together."""
        photo, other = self.root + "/big/photo.jpg", self.root + "/elsewhere/photo.jpg"
        write(photo, BIG)
        os.makedirs(os.path.dirname(other))
        os.link(photo, other)
        self.assertTrue(kill_while_held([BATCH, os.path.dirname(photo)], photo, env=dict(os.environ, LANG="C")))
        self.assertNotIn(read(photo), (BIG, BIG_CLEANED))
        self.assertEqual(len(temporary_files(self.root)), 1)  # the copy
        result = run([os.path.dirname(photo)])
        self.assertEqual((result.returncode, result.stdout.decode().splitlines()[2:4]),
                         (0, ["Repaired after an interruption: " + photo, "No XMP: " + photo]))
        self.assertEqual((read(photo) == BIG_CLEANED, os.path.samefile(photo, other), temporary_files(self.root)),
                         (True, True, []))

    def test_signals_stop_the_run(self):
        """Ctrl+C, SIGTERM and SIGHUP act as STOP: the file in hand is finished."""
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            big = self.root + "/big-" + number.name
            self.make(["big-%s/%04d.jpg" % (number.name, i) for i in range(1500)])
            with subprocess.Popen([BATCH, big], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  env=dict(os.environ, LANG="C", LC_ALL="")) as process:
                lines = []
                while not lines or not lines[-1].startswith(b"XMP removed: "):
                    lines.append(process.stdout.readline())
                    self.assertNotEqual(lines[-1], b"", "ended before its run")
                process.send_signal(number)
                lines.extend(process.stdout.read().splitlines(keepends=True))  # the same buffered reader
                self.assertEqual((process.wait(timeout=60), process.stderr.read()),
                                 (1, b"Cancel: Operation canceled\n"))
            self.assertEqual(lines[-1], b"Operation canceled.\n")
            converted = sum(1 for line in lines if line.startswith(b"XMP removed: "))
            names = os.listdir(big)
            self.assertEqual(len(names), 1500)  # no temporary file left
            self.assertEqual(sum(1 for n in names if read(big + "/" + n) == PHOTO), 1500 - converted)

    def test_failures_of_the_system(self):
        """A file-size limit fails the write, not the run; every flush failing
        leaves every photo; an unwritable standard output is reported."""
        big, small = self.make(["limit/big.jpg", "limit/small.jpg"])
        write(big, SOI + XMP + IMAGE * 1200)  # about 2.5 MB
        limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
        result = run([big, small], preexec_fn=limit)
        self.assertEqual((result.returncode, result.stderr.decode()), (1, "Error: File output error: %s\n" % big))
        self.assertEqual((read(big), read(small)), (SOI + XMP + IMAGE * 1200, SOI + IMAGE))
        photos = self.durable_tree()
        result = run(["-f", "-qq", "-o", "/dev/null", "-e", "trace=fsync,fdatasync,syncfs",
                      "-e", "inject=fsync,fdatasync,syncfs:error=EIO", "--", BATCH, self.root + "/t"],
                     program="strace", env=UNDER_STRACE)
        self.assertEqual((result.returncode, sorted(result.stderr.decode().splitlines())),
                         (1, ["Error: File output error: " + p for p in sorted(photos)]))
        for photo in photos + [self.root + "/elsewhere/two.jpg"]:
            self.assertEqual(read(photo), PHOTO, photo)
        self.assertEqual(temporary_files(self.root), [])
        with open("/dev/full", "wb") as full:
            result = run([small], stdout=full, stderr=subprocess.PIPE)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"could not be written", result.stderr)

    def durable_tree(self):
        """Three photos to clean, one with a second name elsewhere, so that it
        is rewritten in place."""
        photos = self.make(["t/a.jpg", "t/sub/b.jpg", "t/two.jpg"])
        os.makedirs(self.root + "/elsewhere")
        os.link(photos[2], self.root + "/elsewhere/two.jpg")
        return photos

    def test_each_success_line_follows_its_flushes(self):
        """On the real system calls, for each photo: the temporary file's last
        write, its flush (after its mode was set), the commit, the flush of the
        folder (or of the photo rewritten in place), then its line."""
        self.durable_tree()
        trace = self.root + "/trace"
        result = run(["-f", "-y", "-qq", "-s", "256", "-o", trace, "-e", "trace=write,pwrite64,fsync,fdatasync,"
                      "syncfs,rename,renameat,renameat2,fchmod,fchown", "--", BATCH, self.root + "/t"],
                     program="strace", env=UNDER_STRACE)
        self.assertEqual(result.returncode, 0, result.stderr)
        calls = [re.match(r"(?:\d+ +)?(\w+)\((.*)\) += (-?\d+)", line) for line in read(trace).decode().splitlines()]
        calls = [(m.group(1), m.group(2)) for m in calls if m and m.group(3) != "-1"]
        last = lambda test, end: max(i for i in range(end) if test(*calls[i]))
        on = lambda kind, path: lambda name, args: name == kind and re.match(r"\d+<%s>" % re.escape(path), args)
        lines = [i for i, (name, args) in enumerate(calls) if name == "write" and "XMP removed: " in args]
        self.assertEqual(len(lines), 3)
        for line in lines:
            photo = re.search(r"XMP removed: (.+?)\\n", calls[line][1]).group(1)
            renamed = lambda name, args: name.startswith("rename") and '"%s"' % os.path.basename(photo) in args
            in_place = photo.endswith("two.jpg")
            flushed = last(on("fsync", photo if in_place else os.path.dirname(photo)), line)
            commit = last(on("pwrite64", photo) if in_place else renamed, flushed)
            temp_flush = last(lambda name, args: name == "fsync" and re.match(r"\d+<[^>]*/(\.marlovex-|#\d+>\(deleted)", args),
                              commit)
            temp = re.match(r"\d+<([^>]*)>", calls[temp_flush][1]).group(1)
            steps = [last(on("pwrite64", temp), temp_flush), temp_flush,
                     min(i for i in range(line) if on("pwrite64", photo)(*calls[i]) or renamed(*calls[i])),
                     commit, flushed, line]
            self.assertEqual(steps, sorted(steps), photo)
            self.assertLess(temp_flush, steps[2], photo)
            if not in_place:  # the temporary file's permissions are flushed with it
                self.assertLess(last(on("fchmod", temp), temp_flush), temp_flush, photo)
        self.assertEqual(temporary_files(self.root), [])


if __name__ == "__main__":
    BATCH = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
