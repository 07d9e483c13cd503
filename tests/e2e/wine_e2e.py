#!/usr/bin/env python3
"""End-to-end tests of marlovex.exe: the real program under Wine, in a fresh
prefix, on a virtual X display, used as a person uses it. Files are dropped
by the X drag-and-drop protocol (xdnd.py), the dialog is read and driven by
a Win32 program in the same prefix (driver.cpp), and the files on disk are
compared with what marlovex-batch makes of the same tree.

usage: wine_e2e.py --exe marlovex.exe --driver driver.exe --batch marlovex-batch
                   [--artifacts DIR] [unittest options]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]
import xdnd  # noqa: E402
from jpegdata import ADOBE, EXIF, ICC, IMAGE, JFIF, SOI, XMP, read, write  # noqa: E402

ARGS = None
WINE = {}  # display, prefix, env, xvfb

EN = {"LC_ALL": "C.UTF-8"}
JA = {"LC_ALL": "ja_JP.UTF-8"}

PROMPT_EN = b"Drag and drop JPEG files/folders.\r\n\r\n\r\n"
NOTE_EN = (b"Note:\r\nIf you check 'Remove all APP headers' option, the all privacy information will be removed.\r\n"
           b"If you uncheck the option, only XMP header which may prevent rotation of the picture will be removed.")
PROMPT_JA = "JPEG ファイルや、JPEG ファイルが入っているフォルダをドラッグ＆ドロップしてください\r\n\r\n\r\n".encode("cp932")
NOTE_JA = ("※「全 APP ヘッダの削除」オプションをチェックした場合、全てのプライバシー情報が削除されます。\r\n"
           "もしチェックしなかった場合、画像回転を妨げる可能性のある XMP ヘッダのみを削除します。").encode("cp932")


# --------------------------------------------------------------------------
# Test data: synthetic JPEG files whose expected outputs are known.

BULK_FOLDERS = ("2019", "2020", "2021")
BULK_PER_FOLDER = 340
BULK_SHAPES = (SOI + JFIF + XMP + IMAGE, SOI + JFIF + EXIF + IMAGE, SOI + EXIF + XMP + ICC + IMAGE,
               SOI + ADOBE + XMP + IMAGE)


def make_tree(root, bulk=False):
    """XMP, non-XMP, non-JPEG, hidden and nested files; with `bulk`, also
    1,020 photos of four shapes in three folders, as a year's photos come."""
    for folder in BULK_FOLDERS if bulk else ():
        for i in range(BULK_PER_FOLDER):
            write("%s/%s/IMG_%04d.jpg" % (root, folder, i), BULK_SHAPES[i % len(BULK_SHAPES)])
    write(root + "/a.jpg", SOI + JFIF + EXIF + XMP + IMAGE)
    write(root + "/b.JPG", SOI + JFIF + ICC + IMAGE)
    write(root + "/c.jpeg", SOI + XMP + ICC + IMAGE)
    write(root + "/notes.txt", b"xmpmeta, but not a photo")
    write(root + "/.hidden.jpg", SOI + XMP + IMAGE)
    write(root + "/png.jpg", b"\x89PNG\r\n\x1a\n" + IMAGE)
    write(root + "/small.jpg", b"\xFF\xD8")
    write(root + "/nested/d.jpg", SOI + EXIF + XMP + IMAGE)
    write(root + "/nested/deeper/e.jpg", SOI + XMP + IMAGE)
    write(root + "/nested/deeper/f.jpg", SOI + EXIF + IMAGE)


def make_many(root, count):
    for i in range(count):
        write("%s/%04d.jpg" % (root, i), SOI + JFIF + XMP + IMAGE)


def windows_path(path):
    return b"Z:" + path.encode("utf-8").replace(b"/", b"\\")


def all_files(root):
    out = {}
    for folder, _, names in os.walk(root):
        for name in names:
            out[os.path.relpath(os.path.join(folder, name), root)] = read(os.path.join(folder, name))
    return out


# --------------------------------------------------------------------------
# Wine, the program and the driver.

def wine_env(extra):
    env = dict(os.environ)
    env.update({"WINEPREFIX": WINE["prefix"], "WINEDEBUG": os.environ.get("E2E_WINEDEBUG", "-all"), "DISPLAY": WINE["display"],
                "WINEDLLOVERRIDES": "mscoree,mshtml=", "LANG": "C.UTF-8"})
    env.update(extra)
    return env


def setUpModule():
    for n in range(90, 140):
        if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
            break
    WINE["display"] = ":%d" % n
    WINE["xvfb"] = subprocess.Popen(["Xvfb", WINE["display"], "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        if os.path.exists("/tmp/.X11-unix/X%d" % n):
            break
        time.sleep(0.05)
    WINE["prefix"] = tempfile.mkdtemp(prefix="marlovex-wine-")
    env = wine_env(EN)
    debug("wineboot")
    subprocess.run(["wineboot", "-i"], env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    debug("wine reg")
    # Without a window manager every hide or destroy waits about 2 s for one.
    subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/t", "REG_SZ",
                    "/d", "N", "/f"], env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    debug("wineserver -w")
    subprocess.run(["wineserver", "-w"], env=env)
    debug("wineserver -p")
    # A persistent server makes each driver call quick.
    subprocess.Popen(["wineserver", "-p"], env=env).wait()
    # The first call starts the prefix's services and desktop.
    driver("state")


def tearDownModule():
    subprocess.run(["wineserver", "-k"], env=wine_env(EN))
    WINE["xvfb"].terminate()
    WINE["xvfb"].wait()
    shutil.rmtree(WINE["prefix"], ignore_errors=True)


def debug(text):
    if os.environ.get("E2E_DEBUG"):
        sys.stderr.write("[%.2f] %s\n" % (time.time() % 1000, text))


def driver(*args, lang=EN):
    """Runs the driver; its exit status and what it printed. The output goes
    through a file, not a pipe: a Wine service started by the call would
    inherit the pipe and hold it open long after the driver ended."""
    debug("driver %s" % " ".join(str(a) for a in args))
    with tempfile.TemporaryFile() as out:
        try:
            code = subprocess.run(["wine", ARGS.driver] + [str(a) for a in args], env=wine_env(lang),
                                  stdout=out, stderr=subprocess.DEVNULL, timeout=60).returncode
        except subprocess.TimeoutExpired:
            debug("driver timed out")
            return 124, ""
        out.seek(0)
        return code, out.read().decode("latin-1")


def wait_for(condition, timeout=30.0, what="condition"):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.15)
    raise AssertionError("timed out waiting for " + what)


class App:
    """One running marlovex.exe, started in `cwd`."""

    def __init__(self, cwd, lang=EN, wrap=()):
        """`wrap`: a command that runs the program (strace, to hold a system
        call up)."""
        self.lang = lang
        self.cwd = cwd
        debug("start marlovex.exe")
        quiet = None if os.environ.get("E2E_DEBUG") else subprocess.DEVNULL
        self.process = subprocess.Popen(list(wrap) + ["wine", ARGS.exe], cwd=cwd, env=wine_env(lang), stdout=quiet,
                                        stderr=quiet)
        wait_for(lambda: driver("state", lang=lang)[0] == 0, what="the dialog")

    def state(self):
        code, out = driver("state", lang=self.lang)
        if code != 0:
            return None
        state = {"controls": {}, "boxes": []}
        for line in out.splitlines():
            words = line.split()
            if words[0] in ("window", "normal", "client"):
                state[words[0]] = [int(w) for w in words[1:]]
            elif words[0] in ("showcmd", "enabled", "checked", "logx"):
                state[words[0]] = int(words[1])
            elif words[0] == "caption":
                state["caption"] = b"" if words[1] == "-" else bytes.fromhex(words[1])
            elif words[0] == "control":
                text = b"" if words[7] == "-" else bytes.fromhex(words[7])
                state["controls"][int(words[1])] = ([int(w) for w in words[2:6]], int(words[6]), text)
            elif words[0] == "box":
                state["boxes"].append((words[1], bytes.fromhex(words[2]), bytes.fromhex(words[3])))
        return state

    def log(self, wide=False):
        """The log's text: as a program that reads the window in the ANSI
        code page sees it, or with `wide` exactly, in UTF-8."""
        path = os.path.join(self.cwd, ".log-%d" % os.getpid())
        driver("logw" if wide else "log", windows_path(path).decode(), lang=self.lang)
        data = read(path)
        os.unlink(path)
        return data

    def enabled(self, control):
        return self.state()["controls"][control][1]

    def drop(self, paths):
        self.assert_true(xdnd.drop(WINE["display"], "marlovex", paths), "the drop was refused")

    @staticmethod
    def assert_true(value, message):
        if not value:
            raise AssertionError(message)

    def click(self, control):
        driver("click", control, lang=self.lang)

    def wait_log(self, needle, timeout=60.0, wide=False):
        return wait_for(lambda: needle in self.log(wide), timeout, "%r in the log" % needle)

    def wait_box(self, timeout=30.0):
        return wait_for(lambda: (self.state() or {"boxes": []})["boxes"], timeout, "a message box")[0]

    def ok(self):
        driver("ok", lang=self.lang)
        wait_for(lambda: not (self.state() or {"boxes": []})["boxes"], 15, "the box to close")

    def wait_ready(self):
        wait_for(lambda: self.enabled(1002) == 1 and self.enabled(1003) == 0, 60, "START enabled")

    def wait_exit(self, timeout=30):
        return self.process.wait(timeout=timeout)

    def close(self):
        if self.process.poll() is None:
            driver("close", lang=self.lang)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()

    def screenshot(self, name):
        if not ARGS.artifacts:
            return
        os.makedirs(ARGS.artifacts, exist_ok=True)
        left, top, right, bottom = self.state()["window"]
        subprocess.run(["import", "-display", WINE["display"], "-window", "root", "-crop",
                        "%dx%d+%d+%d" % (right - left, bottom - top, left, top), "+repage",
                        os.path.join(ARGS.artifacts, name)], check=False)


def run_batch(args, lang=EN):
    return subprocess.run([ARGS.batch] + args, capture_output=True, env=dict(os.environ, **lang))


def batch_log(stdout, batch_root, app_root):
    """marlovex-batch's output for `batch_root` as the window's log for the
    same files under `app_root`: Windows paths and CRLF line ends."""
    windows_root = windows_path(app_root)
    lines = [line.replace(batch_root.encode(), windows_root).replace(b"/", b"\\")
             for line in stdout.split(b"\n")]
    return b"\r\n".join(lines)


def in_listing_order(log, lang=EN):
    """The log's lines, each file's byte-count line joined to its outcome
    line, and the per-file lines between two status lines sorted."""
    if lang == JA:
        status = tuple(t.encode() for t in ("開始しました", "完了しました", "合計 ",
                                            "コンバート対象のファイルはありません"))
        count = " バイトのデータが削除されました".encode()
    else:
        status = (b"Started", b"Completed", b"Total ", b"No file has been converted.")
        count = b" byte data was removed."
    lines, section = [], []
    for line in log.split(b"\r\n"):
        if line.endswith(count) and not line.startswith(status[2]):
            section[-1] += b"|" + line
        elif line.startswith(status) or not line:
            lines += sorted(section) + [line]
            section = []
        else:
            section.append(line)
    return lines + sorted(section)


# --------------------------------------------------------------------------

class WineTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="marlovex-e2e-")
        self.cwd = os.path.join(self.root, "cwd")
        os.makedirs(self.cwd)
        self.apps = []

    def tearDown(self):
        for app in self.apps:
            app.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def start(self, lang=EN, wrap=()):
        app = App(self.cwd, lang, wrap)
        self.apps.append(app)
        return app

    def settings(self):
        text = read(os.path.join(self.cwd, "marlovex.ini")).decode("latin-1")
        return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)

    def assert_no_temporary_files(self, root):
        for folder, _, names in os.walk(root):
            for name in names:
                self.assertNotIn("marlovex", name, folder)

    # ---- start-up, layout, settings ------------------------------------

    def test_startup(self):
        app = self.start()
        state = app.state()
        self.assertEqual(app.log(), PROMPT_EN + NOTE_EN)
        self.assertEqual(state["controls"][1002][1:], (0, b"START"))
        self.assertEqual(state["controls"][1003][1:], (0, b"STOP"))
        self.assertEqual(state["controls"][1004][2], b"Remove all APP headers")
        self.assertEqual(state["checked"], 0)
        self.assertEqual(state["normal"], [0, 0, 600, 400])  # no settings file
        self.assertEqual(state["window"], [0, 0, 600, 400])
        self.assertEqual(state["caption"], b"marlovex - JPEG metadata remover")
        width, height = state["client"]
        self.assertEqual(state["controls"][1002][0], [10, 5, 50, 20])
        self.assertEqual(state["controls"][1003][0], [70, 5, 50, 20])
        self.assertEqual(state["controls"][1004][0], [130, 5, 185, 20])
        self.assertEqual(state["controls"][1001][0], [10, 30, width - 20, height - 35])
        self.assertGreaterEqual(state["logx"], 0)  # the pane shows the left edge of its lines
        # START before anything was dropped does nothing.
        app.click(1002)
        time.sleep(0.5)
        self.assertEqual(app.log(), PROMPT_EN + NOTE_EN)

    def test_resize_lays_the_controls_out(self):
        app = self.start()
        driver("client", 300, 200)
        wait_for(lambda: app.state()["client"] == [300, 200], what="the new size")
        controls = app.state()["controls"]
        self.assertEqual(controls[1001][0], [10, 30, 280, 165])
        self.assertEqual(controls[1002][0], [10, 5, 50, 20])
        self.assertEqual(controls[1004][0], [130, 5, 185, 20])

    def test_close_box_and_ctrl_q_save_the_settings(self):
        for how in ("close", "ctrl-q"):
            app = self.start()
            driver("client", 420, 260)
            wait_for(lambda: app.state()["client"] == [420, 260], what="the new size")
            normal = app.state()["normal"]
            if how == "close":
                driver("close")
            else:
                driver("key-ctrl", "Q")
            self.assertEqual(app.wait_exit(), 0, how)
            settings = self.settings()
            self.assertEqual(sorted(settings), ["ALLAPP", "BOTTOM", "LEFT", "RIGHT", "TOP"])
            self.assertEqual([int(settings[k]) for k in ("LEFT", "TOP", "RIGHT", "BOTTOM")], normal, how)
            self.assertEqual(settings["ALLAPP"], "0")
            os.unlink(os.path.join(self.cwd, "marlovex.ini"))

    def test_settings_give_the_rectangle_and_the_check_box(self):
        write(os.path.join(self.cwd, "marlovex.ini"),
              b"[Main]\r\nTOP=40\r\nLEFT=30\r\nRIGHT=530\r\nBOTTOM=380\r\nALLAPP=1\r\n")
        app = self.start()
        state = app.state()
        self.assertEqual(state["normal"], [30, 40, 530, 380])
        self.assertEqual(state["window"], [30, 40, 530, 380])
        self.assertEqual(state["checked"], 1)
        # Closed maximised, it reopens at its restored rectangle.
        driver("show", "max")
        wait_for(lambda: app.state()["showcmd"] == 3, what="maximised")
        driver("close")
        self.assertEqual(app.wait_exit(), 0)
        settings = self.settings()
        self.assertEqual([settings[k] for k in ("TOP", "LEFT", "RIGHT", "BOTTOM", "ALLAPP")],
                         ["40", "30", "530", "380", "1"])

    def test_allapp_2_opens_unchecked_and_saves_0(self):
        write(os.path.join(self.cwd, "marlovex.ini"), b"[Main]\r\nALLAPP=2\r\n")
        app = self.start()
        self.assertEqual(app.state()["checked"], 0)
        driver("close")
        self.assertEqual(app.wait_exit(), 0)
        self.assertEqual(self.settings()["ALLAPP"], "0")

    def test_second_copy_exits_at_once(self):
        app = self.start()
        second = subprocess.Popen(["wine", ARGS.exe], cwd=self.cwd, env=wine_env(EN),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertEqual(second.wait(timeout=30), 0)
        self.assertIsNone(app.process.poll())
        self.assertEqual(app.log(), PROMPT_EN + NOTE_EN)

    # ---- drops and runs --------------------------------------------------

    def run_folder(self, all_app):
        tree = os.path.join(self.root, "photos")
        copy = os.path.join(self.root, "batch", "photos")
        make_tree(tree, bulk=True)
        make_tree(copy, bulk=True)
        batch = run_batch((["--all-app"] if all_app else []) + [copy])
        app = self.start()
        if all_app:
            app.click(1004)
            wait_for(lambda: app.state()["checked"] == 1, what="the check box")
        app.drop([tree])
        app.wait_ready()
        listing = app.log()
        names = ["a.jpg", "b.JPG", "c.jpeg", "png.jpg", "small.jpg", "nested/d.jpg", "nested/deeper/e.jpg",
                 "nested/deeper/f.jpg"] + ["%s/IMG_%04d.jpg" % (folder, i) for folder in BULK_FOLDERS
                                           for i in range(BULK_PER_FOLDER)]
        expected = sorted(windows_path(os.path.join(tree, name)) for name in names)
        self.assertEqual(sorted(listing.split(b"\r\n")[:-1]), expected)
        self.assertTrue(listing.endswith(b"\r\n"))

        app.click(1002)
        app.wait_log(b"Total ")
        app.wait_ready()
        log = app.log()
        # Line for line what marlovex-batch printed for the copy: the same
        # listing, outcomes, byte counts and totals, in the same order but for
        # the order in which each system lists a folder (Wine sorts names).
        self.assertTrue(log.startswith(listing + b"Started\r\n"))
        self.assertEqual(in_listing_order(log), in_listing_order(batch_log(batch.stdout, copy, tree)))
        self.assertEqual(all_files(tree), all_files(copy))  # byte-identical to the console front end
        self.assert_no_temporary_files(tree)
        self.assertEqual(app.state()["boxes"], [])
        return app

    def test_dropped_folder_in_xmp_mode(self):
        app = self.run_folder(False)
        app.screenshot("marlovex-en.png")

    def test_dropped_folder_in_all_app_mode(self):
        self.run_folder(True)

    def start_long_run(self, count, wrap=()):
        """A running program converting a folder of `count` XMP files, seen
        to have converted its first one (with `wrap`, to have begun it)."""
        tree = os.path.join(self.root, "many")
        make_many(tree, count)
        app = self.start(wrap=wrap)
        app.drop([tree])
        app.wait_ready()
        app.click(1002)
        if wrap:
            wait_for(lambda: any("marlovex" in name for name in os.listdir(tree)), what="a temporary file")
        else:
            app.wait_log(b"XMP removed: ")
        return app, tree

    def test_stop_during_a_run(self):
        app, tree = self.start_long_run(300)
        app.click(1003)
        box = app.wait_box()
        self.assertEqual(box, ("owned", b"Cancel", b"Operation canceled"))
        self.assertTrue(app.log().endswith(b"Operation canceled.\r\n"))
        self.assertEqual(app.state()["enabled"], 0)  # the owned box disables the dialog
        app.ok()
        app.wait_ready()
        converted = app.log().count(b"XMP removed: ")
        self.assertLess(converted, 300)
        files = all_files(tree)
        self.assertEqual(len(files), 300)
        self.assertEqual(sum(1 for data in files.values() if data == SOI + JFIF + IMAGE), converted)
        self.assertEqual(sum(1 for data in files.values() if data == SOI + JFIF + XMP + IMAGE), 300 - converted)

    def test_read_only_jpeg_is_left_untouched(self):
        path = os.path.join(self.root, "ro", "locked.jpg")
        write(path, SOI + XMP + IMAGE)
        os.chmod(path, 0o444)
        app = self.start()
        app.drop([os.path.dirname(path)])
        app.wait_ready()
        app.click(1002)
        box = app.wait_box()
        self.assertEqual(box, ("unowned", b"Error", b"Can't open: " + windows_path(path)))
        app.ok()
        app.wait_log(b"No file has been converted.\r\n")
        self.assertEqual(read(path), SOI + XMP + IMAGE)
        self.assert_no_temporary_files(os.path.dirname(path))

    def test_closing_while_a_file_error_box_is_shown(self):
        # The box has no owner, so the dialog stays usable; closing it must
        # not wait for the box forever.
        path = os.path.join(self.root, "ro", "locked.jpg")
        write(path, SOI + XMP + IMAGE)
        write(os.path.join(self.root, "ro", "next.jpg"), SOI + XMP + IMAGE)
        os.chmod(path, 0o444)
        app = self.start()
        app.drop([path, os.path.join(self.root, "ro", "next.jpg")])
        app.wait_ready()
        app.click(1002)
        self.assertEqual(app.wait_box()[0], "unowned")
        driver("close")
        self.assertEqual(app.wait_exit(timeout=40), 0)
        self.assertEqual(read(path), SOI + XMP + IMAGE)
        self.assertIn("ALLAPP", self.settings())
        self.assert_no_temporary_files(os.path.dirname(path))

    def test_drive_root_is_refused(self):
        app = self.start()
        app.drop(["/"])
        box = app.wait_box()
        self.assertEqual(box, ("owned", b"Error", b"Don't drop the root folder of the drive"))
        self.assertEqual(app.log(), b"")
        app.ok()
        state = app.state()
        self.assertEqual(state["controls"][1002][1], 0)
        self.assertEqual(state["controls"][1003][1], 0)

    def test_second_drop_during_a_run(self):
        other = os.path.join(self.root, "other")
        write(other + "/x.jpg", SOI + XMP + IMAGE)
        app, many = self.start_long_run(150)
        app.drop([other])
        # The run goes to its end, then the new drop clears the log and
        # replaces the list.
        wait_for(lambda: app.log() == windows_path(other + "/x.jpg") + b"\r\n", 120, "the second listing")
        app.wait_ready()
        self.assertTrue(all(data == SOI + JFIF + IMAGE for data in all_files(many).values()))
        self.assertEqual(read(other + "/x.jpg"), SOI + XMP + IMAGE)

    def test_the_program_ends_at_a_commit_boundary(self):
        """Closed during a run, closed while a file takes longer than the
        close waits for (the first flush held up by strace for 25 s), or
        ended with the session: each photo is cleaned or as it was, no
        temporary file stays, the settings are saved, and the end of the
        session takes less than the system's 5 s."""
        slow = ("strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fsync",
                "-e", "inject=fsync:delay_enter=25000000:when=1")
        for how, wrap in (("close", ()), ("end-session", ()), ("close", slow)):
            with self.subTest(how=how, slow=bool(wrap)):
                app, tree = self.start_long_run(300, wrap)
                code, out = driver(how)
                self.assertEqual(app.wait_exit(timeout=40), 0)
                self.assert_no_temporary_files(tree)
                files = all_files(tree)
                self.assertEqual(len(files), 300)
                self.assertEqual(set(files.values()) - {SOI + JFIF + IMAGE, SOI + JFIF + XMP + IMAGE}, set())
                cleaned = sum(1 for data in files.values() if data == SOI + JFIF + IMAGE)
                self.assertLess(cleaned, 1 if wrap else 300)  # it did stop; the slow file was abandoned
                self.assertIn("ALLAPP", self.settings())
                if how == "end-session":
                    self.assertLess(int(out.split()[-1]), 5000, out)
                self.apps.pop()
                shutil.rmtree(tree)

    # ---- names and lengths ------------------------------------------------

    def test_every_name_and_every_length(self):
        for lang in (EN, JA):
            with self.subTest(lang=lang["LC_ALL"]):
                try:
                    self.drop_every_name(lang)
                finally:
                    self.apps.pop().close()

    def drop_every_name(self, lang):
        """Names outside either ANSI code page, names that the code pages
        best-fit into "..\\", a name ending in a byte 0x5C in code page 932,
        and a chain past 300 characters: each photo is listed and cleaned by
        its exact name, and a photo beside the dropped folder stays as it was."""
        base = tempfile.mkdtemp(dir=self.root)
        tree, copy = base + "/photos", base + "/batch/photos"
        names = ["Été à Paris/a.jpg", "東京の写真/b.jpg", "Ёжик/c.jpg", "smile 😀/d.jpg",
                 "cafe\u0301.jpg", "..¥outside/victim.jpg", "．．＼outside/victim.jpg", "機能/e.jpg",
                 "/".join("deep folder %d %s機能" % (i, "x" * 36) for i in range(7)) + "/f.jpg"]
        for root in (tree, copy):
            for name in names:
                write(root + "/" + name, SOI + EXIF + XMP + IMAGE)
            write(os.path.dirname(root) + "/outside/victim.jpg", SOI + EXIF + XMP + IMAGE)
        deep = os.path.dirname(tree + "/" + names[-1])
        self.assertGreater(len(windows_path(deep).decode()), 259)
        batch = run_batch([copy], lang)
        app = self.start(lang)
        app.drop([tree])
        app.wait_ready()
        listing = app.log(wide=True)
        self.assertEqual(sorted(listing.split(b"\r\n")[:-1]), sorted(windows_path(tree + "/" + n) for n in names))
        app.click(1002)
        app.wait_log("合計 ".encode() if lang == JA else b"Total ", wide=True)
        app.wait_ready()
        self.assertEqual(in_listing_order(app.log(wide=True), lang),
                         in_listing_order(batch_log(batch.stdout, copy, tree), lang))
        self.assertEqual(app.state()["boxes"], [])
        self.assertEqual(all_files(base + "/photos"), all_files(base + "/batch/photos"))
        self.assertEqual(set(all_files(tree).values()), {SOI + EXIF + IMAGE})
        self.assertEqual(read(base + "/outside/victim.jpg"), SOI + EXIF + XMP + IMAGE)
        # The deep folder alone: an item past 259 characters, ending in 0x5C
        # in code page 932.
        app.drop([deep])
        app.wait_ready()
        self.assertEqual(app.log(wide=True), windows_path(tree + "/" + names[-1]) + b"\r\n")

    def test_windows_platform_rows(self):
        """The boundary conversions and the commit's rows (WinPlatformTest.cpp)."""
        result = subprocess.run(["wine", os.path.join(os.path.dirname(ARGS.exe), "marlovex-winplatform-test.exe"),
                                 windows_path(self.root)], env=wine_env(EN), capture_output=True, timeout=60)
        self.assertEqual((result.returncode, result.stdout), (0, b"all rows passed\r\n"), result.stdout.decode())

    def test_batch_exe_takes_forward_slashes(self):
        """marlovex-batch.exe with a path written with '/', started from a
        folder on another volume: the photo is cleaned in its own folder."""
        photo = os.path.join(self.root, "fs", "Été.jpg")
        write(photo, SOI + XMP + IMAGE)
        with tempfile.TemporaryDirectory(dir="/dev/shm") as cwd:
            forward = windows_path(photo).decode().replace("\\", "/")
            result = subprocess.run(["wine", os.path.join(os.path.dirname(ARGS.exe), "marlovex-batch.exe"), forward],
                                    cwd=cwd, env=wine_env(EN), capture_output=True, timeout=60)
            self.assertEqual(os.listdir(cwd), [])
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        self.assertEqual(result.stdout.split(b"\r\n")[:3],
                         [windows_path(photo), b"Started", b"XMP removed: " + windows_path(photo)])
        self.assertEqual(read(photo), SOI + IMAGE)
        self.assertEqual(os.listdir(os.path.dirname(photo)), ["Été.jpg"])

    # ---- Japanese ---------------------------------------------------------

    def test_japanese(self):
        self.assertEqual(driver("locale", lang=JA)[1].split(), ["lcid", "1041", "acp", "932"])
        tree = os.path.join(self.root, "写真")
        write(tree + "/旅行.jpg", SOI + JFIF + XMP + IMAGE)
        write(tree + "/家.jpg", SOI + JFIF + IMAGE)
        app = self.start(JA)
        state = app.state()
        self.assertEqual(state["caption"], "marlovex - JPEG メタデータ削除ツール".encode("cp932"))
        self.assertEqual(state["controls"][1002][2], "開始".encode("cp932"))
        self.assertEqual(state["controls"][1003][2], "停止".encode("cp932"))
        self.assertEqual(state["controls"][1004][2], "全 APP ヘッダの削除".encode("cp932"))
        self.assertEqual(app.log(), PROMPT_JA + NOTE_JA)
        app.drop([tree])
        app.wait_ready()
        app.click(1002)
        app.wait_log("合計".encode("cp932"))
        log = app.log()
        win = lambda name: ("Z:" + (tree + "/" + name).replace("/", "\\")).encode("cp932")
        self.assertIn("XMP 削除: ".encode("cp932") + win("旅行.jpg") + b"\r\n" +
                      ("%d バイトのデータが削除されました\r\n" % len(XMP)).encode("cp932"), log)
        self.assertIn("XMPなし: ".encode("cp932") + win("家.jpg") + b"\r\n", log)
        self.assertTrue(log.endswith(("完了しました\r\n合計 %d バイトのデータが削除されました\r\n" % len(XMP)).encode("cp932")))
        self.assertEqual(read(tree + "/旅行.jpg"), SOI + JFIF + IMAGE)
        app.screenshot("marlovex-ja.png")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--batch", required=True)
    parser.add_argument("--artifacts")
    ARGS, rest = parser.parse_known_args()
    ARGS.exe, ARGS.driver, ARGS.batch = map(os.path.abspath, (ARGS.exe, ARGS.driver, ARGS.batch))
    if ARGS.artifacts:
        ARGS.artifacts = os.path.abspath(ARGS.artifacts)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
