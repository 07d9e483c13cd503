#!/usr/bin/env python3
"""End-to-end tests of marlovex-batch: a generated tree, the program run as a
user would run it, and its files, standard output, standard error and exit
status checked byte for byte.

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
# LeakSanitizer cannot work under ptrace.
UNDER_STRACE = {"ASAN_OPTIONS": "detect_leaks=0"}


def walk_order(folder):
    """Files under `folder` in the program's walk order: enumeration order,
    subfolders depth first where their entry comes."""
    for name in os.listdir(folder):  # readdir order, like the program's
        path = os.path.join(folder, name)
        if os.path.isdir(path):
            yield from walk_order(path)
        else:
            yield path


def run(args, env=None, cwd=None, program=None, **options):
    """marlovex-batch with `args`, or `program` (such as strace) with them."""
    full_env = dict(os.environ, LANG="C", LC_ALL="", LC_MESSAGES="")
    full_env.update(env or {})
    if "stdout" not in options:
        options["capture_output"] = True
    return subprocess.run([program or BATCH] + args, env=full_env, cwd=cwd, timeout=120, **options)


def temporary_files(root):
    return [name for _, _, names in os.walk(root) for name in names if "marlovex" in name]


class BatchTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="marlovex-batch-")
        self.addCleanup(subprocess.run, ["rm", "-rf", self.root])

    def make_tree(self):
        """Inputs and the outputs expected in XMP mode and in all-APP mode."""
        r = self.root
        files = {
            r + "/t/a.jpg": (SOI + JFIF + EXIF + XMP + IMAGE, SOI + JFIF + EXIF + IMAGE, SOI + IMAGE),
            r + "/t/b.jpg": (SOI + JFIF + ICC + IMAGE, None, SOI + IMAGE),
            r + "/t/cmyk.jpg": (SOI + ADOBE + EXIF + IMAGE, None, SOI + ADOBE + IMAGE),
            r + "/t/sub/d.JPEG": (SOI + XMP + EXIF + IMAGE, SOI + EXIF + IMAGE, SOI + IMAGE),
            r + "/t/sub/deeper/e.jpg": (SOI + ICC + XMP + IMAGE, SOI + ICC + IMAGE, SOI + IMAGE),
            r + "/t/sub/small.jpg": (b"\xFF\xD8\xFF", None, None),
            r + "/t/sub/png.jpg": (b"\x89PNG\r\n\x1a\n" + IMAGE, None, None),
            r + "/t/.hidden.jpg": (SOI + XMP + IMAGE, None, None),
            r + "/t/notes.txt": (b"xmpmeta", None, None),
            r + "/t/.dot/f.jpg": (SOI + XMP + IMAGE, SOI + IMAGE, SOI + IMAGE),
        }
        for path, (data, _, _) in files.items():
            write(path, data)
        return files

    def expected_log(self, folder, files, all_app):
        candidates = [p for p in walk_order(folder)
                      if p.lower().endswith((".jpg", ".jpeg")) and not os.path.basename(p).startswith(".")]
        log = "".join(p + "\n" for p in candidates) + "Started\n"
        total = 0
        for p in candidates:
            data, xmp_out, all_out = files[p]
            out = all_out if all_app else xmp_out
            if len(data) < 6:
                log += "Too small: %s\n" % p
            elif not data.startswith(SOI):
                log += "Header Broken: %s\n" % p
            elif out is None:
                log += ("No APP header: " if all_app else "No XMP: ") + p + "\n"
            else:
                removed = len(data) - len(out)
                total += removed
                log += ("APP headers removed: " if all_app else "XMP removed: ") + p + "\n"
                log += "%d byte data was removed.\n" % removed
        log += "Completed\nTotal %d byte data was removed.\n" % total if total else "No file has been converted.\n"
        return log

    def check_files(self, files, column):
        for path, outcomes in files.items():
            want = outcomes[column] if outcomes[column] is not None else outcomes[0]
            self.assertEqual(read(path), want, path)
        self.assertEqual(temporary_files(self.root + "/t"), [])

    def test_xmp_mode_then_all_app_mode(self):
        files = self.make_tree()
        result = run([self.root + "/t"])
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout.decode(), self.expected_log(self.root + "/t", files, False))
        self.check_files(files, 1)

        # All-APP mode on fresh copies of the inputs.
        files = self.make_tree()
        result = run(["--all-app", self.root + "/t/"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.decode(), self.expected_log(self.root + "/t", files, True))
        self.check_files(files, 2)

    def test_second_run_finds_nothing(self):
        # A path of any length is taken whole.
        photo = self.root + ("/" + "d" * 60) * 5 + "/x.jpg"
        write(photo, SOI + XMP + IMAGE)
        self.assertEqual(run([photo]).returncode, 0)
        result = run([photo])
        self.assertEqual(result.stdout.decode(),
                         "%s\nStarted\nNo XMP: %s\nNo file has been converted.\n" % (photo, photo))

    def test_relative_paths_are_made_absolute(self):
        write(self.root + "/rel/x.jpg", SOI + XMP + IMAGE)
        result = run(["rel"], cwd=self.root)
        path = self.root + "/rel/x.jpg"
        removed = len(XMP)
        self.assertEqual(result.stdout.decode(),
                         "%s\nStarted\nXMP removed: %s\n%d byte data was removed.\nCompleted\n"
                         "Total %d byte data was removed.\n" % (path, path, removed, removed))

    def test_several_items_get_a_summary_each(self):
        write(self.root + "/a/x.jpg", SOI + XMP + IMAGE)
        os.makedirs(self.root + "/b")
        result = run([self.root + "/a", self.root + "/b"])
        n = len(XMP)
        self.assertTrue(result.stdout.decode().endswith(
            "Completed\nTotal %d byte data was removed.\nCompleted\nTotal %d byte data was removed.\n" % (n, n)))

    def test_japanese(self):
        write(self.root + "/j/x.jpg", SOI + XMP + IMAGE)
        write(self.root + "/j/y.jpg", SOI + IMAGE)
        for env in ({"LANG": "ja_JP.UTF-8"}, {"LC_ALL": "ja_JP.eucJP", "LANG": "C"}):
            write(self.root + "/j/x.jpg", SOI + XMP + IMAGE)
            result = run([self.root + "/j/x.jpg", self.root + "/j/y.jpg"], env=env)
            p, q = self.root + "/j/x.jpg", self.root + "/j/y.jpg"
            self.assertEqual(result.stdout.decode("utf-8"),
                             "%s\n%s\n開始しました\nXMP 削除: %s\n%d バイトのデータが削除されました\n完了しました\n"
                             "合計 %d バイトのデータが削除されました\nXMPなし: %s\n完了しました\n"
                             "合計 %d バイトのデータが削除されました\n"
                             % (p, q, p, len(XMP), len(XMP), q, len(XMP)))

    def test_message_boxes_go_to_standard_error(self):
        write(self.root + "/ro/x.jpg", SOI + XMP + IMAGE)
        os.chmod(self.root + "/ro/x.jpg", 0o444)
        cases = [
            (["/"], "", "Error: Don't drop the root folder of the drive\n"),
            ([self.root + "/missing"], "", "Error: Found invalid files/folders\n"),
            ([self.root + "/ro"], "%s/ro/x.jpg\nStarted\nNo file has been converted.\n" % self.root,
             "Error: Can't open: %s/ro/x.jpg\n" % self.root),
        ]
        for args, out, err in cases:
            result = run(args)
            self.assertEqual(result.returncode, 1, args)
            self.assertEqual(result.stdout.decode(), out)
            self.assertEqual(result.stderr.decode(), err)
        self.assertEqual(read(self.root + "/ro/x.jpg"), SOI + XMP + IMAGE)

    def test_usage_errors(self):
        self.assertEqual(run([]).returncode, 2)
        bogus = run(["--bogus", self.root])
        self.assertEqual(bogus.returncode, 2)
        self.assertIn(b"usage: marlovex-batch [--all-app] PATH...", bogus.stderr)
        self.assertEqual(bogus.stdout, b"")
        helped = run(["--help"])
        self.assertEqual(helped.returncode, 0)
        self.assertTrue(helped.stdout.startswith(b"usage: marlovex-batch [--all-app] PATH...\n"))

    def test_ctrl_c_sigterm_and_sighup_stop_the_run(self):
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=number.name):
                self.stop_a_run_by(number)

    def stop_a_run_by(self, number):
        big = self.root + "/big-" + number.name
        for i in range(1500):
            write("%s/%04d.jpg" % (big, i), SOI + XMP + IMAGE)
        env = dict(os.environ, LANG="C", LC_ALL="")
        process = subprocess.Popen([BATCH, big], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        lines = []
        while True:
            line = process.stdout.readline()
            self.assertNotEqual(line, b"", "ended before its run")
            lines.append(line)
            if line.startswith(b"XMP removed: "):
                break
        process.send_signal(number)
        # Read through the same buffered reader: communicate() would read the
        # descriptor directly and miss what readline() had already buffered.
        lines.extend(process.stdout.read().splitlines(keepends=True))
        err = process.stderr.read()
        process.wait(timeout=60)
        self.assertEqual(process.returncode, 1)
        self.assertEqual(err, b"Cancel: Operation canceled\n")
        self.assertEqual(lines[-1], b"Operation canceled.\n")
        converted = sum(1 for line in lines if line.startswith(b"XMP removed: "))
        self.assertLess(converted, 1500)
        names = os.listdir(big)
        self.assertEqual(len(names), 1500)  # no temporary file left
        untouched = sum(1 for n in names if read(big + "/" + n) == SOI + XMP + IMAGE)
        self.assertEqual(untouched, 1500 - converted)

    def test_file_size_limit_fails_the_write_not_the_run(self):
        big = self.root + "/limit/big.jpg"
        write(big, SOI + XMP + IMAGE * 1200)  # about 2.5 MB
        write(self.root + "/limit/small.jpg", SOI + XMP + IMAGE)
        limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
        result = run([big, self.root + "/limit/small.jpg"], preexec_fn=limit)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.decode(), "Error: File output error: %s\n" % big)
        self.assertEqual(read(big), SOI + XMP + IMAGE * 1200)
        self.assertEqual(read(self.root + "/limit/small.jpg"), SOI + IMAGE)
        self.assertEqual(temporary_files(self.root + "/limit"), [])

    def durable_tree(self):
        """Three photos to clean, one of them with a second name elsewhere,
        so that it is rewritten in place."""
        for name in ("t/a.jpg", "t/sub/b.jpg", "t/two.jpg"):
            write(self.root + "/" + name, SOI + XMP + IMAGE)
        os.makedirs(self.root + "/elsewhere")
        os.link(self.root + "/t/two.jpg", self.root + "/elsewhere/two.jpg")

    def test_each_success_line_follows_its_flushes(self):
        """On the real system calls: the temporary file's last write, its
        flush, the commit, the flush of the folder (or of the photo rewritten
        in place), and only then the photo's line."""
        self.durable_tree()
        trace = self.root + "/trace"
        result = run(["-f", "-y", "-qq", "-s", "256", "-o", trace, "-e",
                      "trace=write,pwrite64,fsync,fdatasync,syncfs,rename,renameat,renameat2", "--", BATCH,
                      self.root + "/t"], program="strace", env=UNDER_STRACE)
        self.assertEqual(result.returncode, 0, result.stderr)
        calls = [re.match(r"(?:\d+ +)?(\w+)\((.*)\) += (-?\d+)", line) for line in read(trace).decode("latin-1").splitlines()]
        calls = [(m.group(1), m.group(2)) for m in calls if m and m.group(3) != "-1"]
        lines = [i for i, (name, args) in enumerate(calls) if name == "write" and "XMP removed: " in args]
        self.assertEqual(len(lines), 3)

        def last(test, end):
            return max(i for i in range(end) if test(*calls[i]))

        def on(kind, path):  # a call of `kind` on a descriptor of `path` (strace -y: "3</path>")
            return lambda name, args: name == kind and re.match(r"\d+<%s>" % re.escape(path), args)

        for line in lines:
            photo = re.search(r"XMP removed: (.+?)\\n", calls[line][1]).group(1)
            if photo.endswith("two.jpg"):  # rewritten in place
                flushed = last(on("fsync", photo), line)
                commit = last(on("pwrite64", photo), flushed)
            else:
                flushed = last(on("fsync", os.path.dirname(photo)), line)
                commit = last(lambda name, args: name.startswith("rename") and
                              '"%s"' % os.path.basename(photo) in args, flushed)
            temp_flush = last(lambda name, args: name == "fsync" and "/.marlovex-" in args, commit)
            temp = re.match(r"\d+<([^>]*)>", calls[temp_flush][1]).group(1)
            last_write = last(on("write", temp), temp_flush)
            first_change = min(i for i in range(line) if on("pwrite64", photo)(*calls[i]) or
                               (calls[i][0].startswith("rename") and '"%s"' % os.path.basename(photo) in calls[i][1]))
            self.assertTrue(last_write < temp_flush < first_change <= commit < flushed < line, photo)
        self.assertEqual(temporary_files(self.root), [])

    def test_failing_flushes_leave_every_photo(self):
        self.durable_tree()
        result = run(["-f", "-qq", "-o", "/dev/null", "-e", "trace=fsync,fdatasync,syncfs",
                      "-e", "inject=fsync,fdatasync,syncfs:error=EIO", "--", BATCH, self.root + "/t"],
                     program="strace", env=UNDER_STRACE)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(sorted(result.stderr.decode().splitlines()),
                         ["Error: File output error: %s/t/%s" % (self.root, name)
                          for name in ("a.jpg", "sub/b.jpg", "two.jpg")])
        for name in ("t/a.jpg", "t/sub/b.jpg", "t/two.jpg", "elsewhere/two.jpg"):
            self.assertEqual(read(self.root + "/" + name), SOI + XMP + IMAGE, name)
        self.assertEqual(temporary_files(self.root), [])

    def test_unwritable_standard_output_fails(self):
        write(self.root + "/full/x.jpg", SOI + XMP + IMAGE)
        with open("/dev/full", "wb") as full:
            result = run([self.root + "/full/x.jpg"], stdout=full, stderr=subprocess.PIPE)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"could not be written", result.stderr)


if __name__ == "__main__":
    BATCH = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
