#!/usr/bin/env python3
"""marlovex-batch end to end, as tables: trees and command lines -> files,
standard output, standard error and exit status, byte for byte.

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

from jpegdata import ADOBE, EXIF, ICC, IMAGE, JFIF, SOI, XMP, read, write

BATCH = None
UNDER_STRACE = {"ASAN_OPTIONS": "detect_leaks=0"}  # LeakSanitizer cannot work under ptrace
# Each file: its bytes, what XMP mode makes of it, what all-APP mode makes of it (None: left as it is).
TREE = {
    "t/a.jpg": (SOI + JFIF + EXIF + XMP + IMAGE, SOI + JFIF + EXIF + IMAGE, SOI + IMAGE),
    "t/b.jpg": (SOI + JFIF + ICC + IMAGE, None, SOI + IMAGE),
    "t/cmyk.jpg": (SOI + ADOBE + EXIF + IMAGE, None, SOI + ADOBE + IMAGE),
    "t/sub/d.JPEG": (SOI + XMP + EXIF + IMAGE, SOI + EXIF + IMAGE, SOI + IMAGE),
    "t/sub/deeper/e.jpg": (SOI + ICC + XMP + IMAGE, SOI + ICC + IMAGE, SOI + IMAGE),
    "t/sub/small.jpg": (b"\xFF\xD8\xFF", None, None),
    "t/sub/png.jpg": (b"\x89PNG\r\n\x1a\n" + IMAGE, None, None),
    "t/.hidden.jpg": (SOI + XMP + IMAGE, None, None),
    "t/notes.txt": (b"xmpmeta", None, None),
    "t/.dot/f.jpg": (SOI + XMP + IMAGE, SOI + IMAGE, SOI + IMAGE),
    "t/cr\rin name.jpg": (SOI + XMP + IMAGE, SOI + IMAGE, SOI + IMAGE),
}


def expected_log(root, all_app):
    """The log for TREE under `root`, each file's lines in the system's order."""
    listing, run, total = [], [], 0
    for name, (data, xmp_out, all_out) in TREE.items():
        path = "%s/%s" % (root, name)
        if not name.lower().endswith((".jpg", ".jpeg")) or os.path.basename(name).startswith("."):
            continue
        out = all_out if all_app else xmp_out
        listing.append(path)
        if len(data) < 6:
            run.append("Too small: " + path)
        elif not data.startswith(SOI):
            run.append("Header Broken: " + path)
        elif out is None:
            run.append(("No APP header: " if all_app else "No XMP: ") + path)
        else:
            total += len(data) - len(out)
            run.append("%s%s\n%d byte data was removed." % ("APP headers removed: " if all_app else "XMP removed: ",
                                                            path, len(data) - len(out)))
    return listing, run, "Completed\nTotal %d byte data was removed.\n" % total


def run(args, env=None, cwd=None, program=None, **options):
    """marlovex-batch with `args`, or `program` (such as strace) with them."""
    full_env = dict(os.environ, **dict({"LANG": "C", "LC_ALL": "", "LC_MESSAGES": ""}, **(env or {})))
    options.setdefault("capture_output", "stdout" not in options)
    return subprocess.run([program or BATCH] + args, env=full_env, cwd=cwd, timeout=120, **options)


def temporary_files(root):
    return [name for _, _, names in os.walk(root) for name in names if "marlovex" in name]


class BatchTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="marlovex-batch-")
        self.addCleanup(subprocess.run, ["rm", "-rf", self.root])

    def make(self, names, data=SOI + XMP + IMAGE):
        for name in names:
            write(self.root + "/" + name, data)
        return [self.root + "/" + name for name in names]

    def test_both_modes_on_a_tree(self):
        """The listing in walk order, then each file's outcome; the order of a
        folder's files may change as they are renamed, so it is compared sorted."""
        for all_app in (False, True):
            for name, (data, _, _) in TREE.items():
                write(self.root + "/" + name, data)
            result = run((["--all-app"] if all_app else []) + [self.root + "/t/"])
            self.assertEqual((result.returncode, result.stderr), (0, b""))
            out = result.stdout.decode()
            listing, lines, total = expected_log(self.root, all_app)
            self.assertEqual(sorted(out[:out.index("Started\n")].split("\n")[:-1]), sorted(listing))
            body = out[out.index("Started\n") + 8:]
            self.assertTrue(body.endswith(total))
            self.assertEqual(sorted(re.split(r"\n(?!\d+ byte)", body[:-len(total)].rstrip("\n"))), sorted(lines))
            for name, (data, xmp_out, all_out) in TREE.items():
                want = all_out if all_app else xmp_out
                self.assertEqual(read(self.root + "/" + name), want or data, name)
            self.assertEqual(temporary_files(self.root), [])

    def test_command_lines(self):
        """Command lines -> exit status, standard output, standard error ($R the root)."""
        r = self.root
        deep = "/".join(["d" * 60] * 5) + "/x.jpg"  # a path of any length is taken whole
        photos = self.make(["one/x.jpg", "two/y.jpg", deep, "ro/x.jpg"])
        os.chmod(r + "/ro/x.jpg", 0o444)
        os.makedirs(r + "/empty")
        cleaned = lambda p: "XMP removed: %s\n%d byte data was removed.\n" % (p, len(XMP))
        total = lambda n: "Completed\nTotal %d byte data was removed.\n" % (n * len(XMP))
        ja = "$R/one/x.jpg\n開始しました\nXMP 削除: $R/one/x.jpg\n%d バイトのデータが削除されました\n完了しました\n" \
             "合計 %d バイトのデータが削除されました\n" % (len(XMP), len(XMP))
        rows = [
            ([photos[0]], {}, 0, "$R/one/x.jpg\nStarted\n" + cleaned("$R/one/x.jpg") + total(1), ""),
            ([photos[0]], {}, 0, "$R/one/x.jpg\nStarted\nNo XMP: $R/one/x.jpg\nNo file has been converted.\n", ""),
            (["two", "empty"], {"cwd": r}, 0, "$R/two/y.jpg\nStarted\n" + cleaned("$R/two/y.jpg") + total(1) * 2, ""),
            ([photos[2]], {}, 0, "%s\nStarted\n%s%s" % (photos[2], cleaned(photos[2]), total(1)), ""),
            (["/"], {}, 1, "", "Error: Don't drop the root folder of the drive\n"),
            ([r + "/one", "/"], {}, 1, "", "Error: Don't drop the root folder of the drive\n"),
            ([r + "/missing"], {}, 1, "", "Error: Found invalid files/folders\n"),
            ([r + "/ro"], {}, 1, "$R/ro/x.jpg\nStarted\nNo file has been converted.\n", "Error: Can't open: $R/ro/x.jpg\n"),
            ([r + "/empty"] * 256, {}, 0, "Started\n" + "No file has been converted.\n" * 256, ""),
            ([r + "/empty"] * 257, {}, 2, "", "marlovex-batch: at most 256 paths at once\n"),
            ([], {}, 2, "", "usage: marlovex-batch [--all-app] PATH...\n"),
            (["--bogus", r], {}, 2, "", "marlovex-batch: unknown option --bogus\nusage: marlovex-batch [--all-app] PATH...\n"),
        ]
        for args, options, code, out, err in rows:
            with self.subTest(args=args[:3]):
                result = run(args, cwd=options.get("cwd"))
                self.assertEqual((result.returncode, result.stdout.decode(), result.stderr.decode()),
                                 (code, out.replace("$R", r), err.replace("$R", r)))
        self.assertEqual(read(r + "/ro/x.jpg"), SOI + XMP + IMAGE)
        self.assertTrue(run(["--help"]).stdout.startswith(b"usage: marlovex-batch [--all-app] PATH...\n"))
        en = "$R/one/x.jpg\nStarted\n" + cleaned("$R/one/x.jpg") + total(1)
        for env, japanese in (({"LANG": "ja_JP.UTF-8"}, True), ({"LC_ALL": "ja_JP.eucJP"}, True),
                              ({"LC_MESSAGES": "ja_JP.UTF-8", "LANG": "C"}, True),
                              ({"LANG": "ja"}, False), ({"LANG": "ja_XX.UTF-8"}, False)):
            write(photos[0], SOI + XMP + IMAGE)
            self.assertEqual(run([photos[0]], env=env).stdout.decode(), (ja if japanese else en).replace("$R", r), env)

    def test_signals_stop_the_run(self):
        """Ctrl+C, SIGTERM and SIGHUP act as STOP: the file in hand is finished."""
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            big = self.root + "/big-" + number.name
            self.make(["big-%s/%04d.jpg" % (number.name, i) for i in range(1500)])
            process = subprocess.Popen([BATCH, big], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       env=dict(os.environ, LANG="C", LC_ALL=""))
            lines = []
            while not lines or not lines[-1].startswith(b"XMP removed: "):
                lines.append(process.stdout.readline())
                self.assertNotEqual(lines[-1], b"", "ended before its run")
            process.send_signal(number)
            lines.extend(process.stdout.read().splitlines(keepends=True))  # the same buffered reader
            self.assertEqual((process.wait(timeout=60), process.stderr.read()), (1, b"Cancel: Operation canceled\n"))
            self.assertEqual(lines[-1], b"Operation canceled.\n")
            converted = sum(1 for line in lines if line.startswith(b"XMP removed: "))
            names = os.listdir(big)
            self.assertEqual(len(names), 1500)  # no temporary file left
            self.assertEqual(sum(1 for n in names if read(big + "/" + n) == SOI + XMP + IMAGE), 1500 - converted)

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
            self.assertEqual(read(photo), SOI + XMP + IMAGE, photo)
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
            temp_flush = last(lambda name, args: name == "fsync" and "/.marlovex-" in args, commit)
            temp = re.match(r"\d+<([^>]*)>", calls[temp_flush][1]).group(1)
            steps = [last(on("write", temp), temp_flush), temp_flush,
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
