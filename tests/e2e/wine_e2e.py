#!/usr/bin/env python3
"""marlovex.exe end to end: the real program under Wine, in a fresh prefix,
on a virtual X display, used as a person uses it. Files are dropped by the X
drag-and-drop protocol (xdnd.py), the dialog is read and driven by a Win32
program in the same prefix (driver.cpp), and files and log are compared with
what marlovex-batch makes of the same tree. Each scenario is a row: files,
then steps and checks.

usage: wine_e2e.py --exe marlovex.exe --driver driver.exe --batch marlovex-batch [--artifacts DIR]
"""
import argparse
import itertools
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
from jpegdata import ADOBE, BIG, BIG_CLEANED, EXIF, ICC, IMAGE, JFIF, SOI, XMP, kill_while_held, read, write  # noqa: E402,E501

ARGS = None
WINE = {}  # display, prefix, xvfb
EN, JA = {"LC_ALL": "C.UTF-8"}, {"LC_ALL": "ja_JP.UTF-8"}
OPENING = {"en": "Drag and drop JPEG files/folders.\r\n\r\n\r\nNote:\r\nIf you check 'Remove all APP headers' "
                 "option, the all privacy information will be removed.\r\nIf you uncheck the option, only XMP "
                 "header which may prevent rotation of the picture will be removed.",
           "ja": "JPEG ファイルや、JPEG ファイルが入っているフォルダをドラッグ＆ドロップしてください\r\n\r\n\r\n"
                 "※「全 APP ヘッダの削除」オプションをチェックした場合、全てのプライバシー情報が削除されます。"
                 "\r\nもしチェックしなかった場合、画像回転を妨げる可能性のある XMP ヘッダのみを削除します。"}
PHOTO, CLEANED = SOI + JFIF + XMP + IMAGE, SOI + JFIF + IMAGE
SLOW = ("strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fsync", "-e",
        "inject=fsync:delay_enter=25000000:when=1")


def windows_path(path):
    return b"Z:" + path.encode().replace(b"/", b"\\")


def all_files(root):
    return {os.path.relpath(os.path.join(d, n), root): read(os.path.join(d, n))
            for d, _, names in os.walk(root) for n in names}


def wine_env(extra):
    """The prefix's user folders lead into its own HOME, so that nothing a
    test drops (a drive's root, were it not refused) reaches this machine's."""
    return dict(os.environ, WINEPREFIX=WINE["prefix"], WINEDEBUG=os.environ.get("E2E_WINEDEBUG", "-all"),
                DISPLAY=WINE["display"], WINEDLLOVERRIDES="mscoree,mshtml=", LANG="C.UTF-8",
                HOME=WINE["prefix"] + "/home", **extra)


def setUpModule():
    n = next(n for n in range(90, 140) if not os.path.exists("/tmp/.X11-unix/X%d" % n)
             and not os.path.exists("/tmp/.X%d-lock" % n))
    WINE["display"], WINE["prefix"] = ":%d" % n, tempfile.mkdtemp(prefix="marlovex-wine-")
    os.makedirs(WINE["prefix"] + "/home")
    WINE["xvfb"] = subprocess.Popen(["Xvfb", WINE["display"], "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for(lambda: os.path.exists("/tmp/.X11-unix/X%d" % n), 5, "Xvfb")
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "env": wine_env(EN)}
    subprocess.run(["wineboot", "-i"], check=True, **quiet)
    # Without a window manager every hide or destroy waits about 2 s for one.
    subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/t", "REG_SZ",
                    "/d", "N", "/f"], check=True, **quiet)
    subprocess.run(["wineserver", "-w"], env=wine_env(EN))
    subprocess.Popen(["wineserver", "-p"], env=wine_env(EN)).wait()  # persistent: each driver call is quick
    driver("state")  # the first call starts the prefix's services and desktop


def tearDownModule():
    subprocess.run(["wineserver", "-k"], env=wine_env(EN))
    WINE["xvfb"].terminate()
    WINE["xvfb"].wait()
    shutil.rmtree(WINE["prefix"], ignore_errors=True)


def driver(*args, lang=EN):
    """The driver's exit status and output, through a file: a Wine service
    started by the call would hold a pipe open long after it."""
    with tempfile.TemporaryFile() as out:
        try:
            code = subprocess.run(["wine", ARGS.driver] + [str(a) for a in args], env=wine_env(lang), stdout=out,
                                  stderr=subprocess.DEVNULL, timeout=60).returncode
        except subprocess.TimeoutExpired:
            return 124, ""
        out.seek(0)
        return code, out.read().decode("latin-1")


def set_dpi(dpi):
    subprocess.run(["wine", "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD", "/d",
                    str(dpi), "/f"], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=wine_env(EN))


def wait_for(condition, timeout=30.0, what="condition"):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.15)
    raise AssertionError("timed out waiting for " + what)


class App:
    """One running marlovex.exe, started in `cwd` (under `wrap`, when given),
    with the paths `args` or, through the driver, the command line `line`
    after the program's name exactly (UTF-8)."""

    def __init__(self, cwd, lang=EN, wrap=(), line=None, args=(), wait=True):
        self.lang, self.cwd = lang, cwd
        quiet = None if os.environ.get("E2E_DEBUG") else subprocess.DEVNULL
        command = ["wine", ARGS.exe] + list(args)
        if line is not None:
            command = ["wine", ARGS.driver, "spawn", windows_path(cwd).decode(),
                       '"%s" %s' % (windows_path(ARGS.exe).decode(), line)]
        self.process = subprocess.Popen(list(wrap) + command, cwd=cwd, env=wine_env(lang), stdout=quiet, stderr=quiet)
        if wait:
            wait_for(lambda: driver("state", lang=lang)[0] == 0, what="the dialog")

    def state(self):
        """The dialog's fields; per control (by id) its "layout", "enabled" and "text"; the "boxes"."""
        code, out = driver("state", lang=self.lang)
        text = lambda word: b"" if word == "-" else bytes.fromhex(word)
        state = {"layout": {}, "buttons": {}, "text": {}, "boxes": []}
        for key, *words in (line.split() for line in out.splitlines() if code == 0):
            if key == "control":
                state["layout"][int(words[0])] = [int(w) for w in words[1:5]]
                state["buttons"][int(words[0])], state["text"][int(words[0])] = int(words[5]), text(words[6])
                state.setdefault("textwidth", {})[int(words[0])] = int(words[7])
            elif key == "box":
                state["boxes"].append((words[0], text(words[1]), text(words[2])))
            else:
                values = [text(words[0])] if key == "caption" else [int(w) for w in words]
                state[key] = values[0] if len(values) == 1 else values
        state["logx"] = min(state.get("logx", -1), 0)  # 0: the pane shows the left edge of its lines
        return state

    def log(self, wide=True):
        """The log exactly, in UTF-8; without `wide`, as a program that reads
        the window in the ANSI code page sees it."""
        path = os.path.join(self.cwd, ".log")
        driver("logw" if wide else "log", windows_path(path).decode(), lang=self.lang)
        data = read(path)
        os.unlink(path)
        return data

    def close(self):
        if self.process.poll() is None:
            driver("close", lang=self.lang)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()


def in_listing_order(log, lang):
    """The log's lines, each byte-count line joined to its outcome line, the
    per-file lines between status lines sorted (Wine lists a folder sorted)."""
    words = ("開始しました", "完了しました", "合計 ", "コンバート対象", " バイトのデータが削除されました") if lang == JA \
        else ("Started", "Completed", "Total ", "No file has been", " byte data was removed.")
    status, count = tuple(w.encode() for w in words[:4]), words[4].encode()
    lines, section = [], []
    for line in log.split(b"\r\n"):
        if line.endswith(count) and not line.startswith(status[2]):
            section[-1] += b"|" + line
        elif line.startswith(status) or not line:
            lines, section = lines + sorted(section) + [line], []
        else:
            section.append(line)
    return lines + sorted(section)


# --------------------------------------------------------------------------
# The scenarios' files, below the test's folder. A file named locked.jpg is
# read-only.

BULK = {"%s/IMG_%04d.jpg" % (y, i): (SOI + JFIF + XMP + IMAGE, SOI + JFIF + EXIF + IMAGE, SOI + EXIF + XMP + ICC
                                     + IMAGE, SOI + ADOBE + XMP + IMAGE)[i % 4]
        for y in ("2019", "2020", "2021") for i in range(340)}
TREE = {"a.jpg": SOI + JFIF + EXIF + XMP + IMAGE, "b.JPG": SOI + JFIF + ICC + IMAGE, "c.jpeg": SOI + XMP + ICC + IMAGE,
        "notes.txt": b"xmpmeta, but not a photo", ".hidden.jpg": SOI + XMP + IMAGE, "png.jpg": b"\x89PNG\r\n" + IMAGE,
        "small.jpg": SOI, "nested/d.jpg": SOI + EXIF + XMP + IMAGE, "nested/deeper/e.jpg": SOI + XMP + IMAGE,
        "nested/deeper/f.jpg": SOI + EXIF + IMAGE, **BULK}
NAMES = ["Été à Paris/a.jpg", "東京の写真/b.jpg", "Ёжик/c.jpg", "smile 😀/d.jpg", "cafe\u0301.jpg",
         "..¥outside/victim.jpg", "．．＼outside/victim.jpg", "機能/e.jpg",  # best-fit into "..\", a 0x5C trail byte
         "/".join("deep folder %d %s機能" % (i, "x" * 36) for i in range(7)) + "/f.jpg"]  # past 300 characters
DEEP = os.path.dirname(NAMES[-1])
MANY = {"many/%04d.jpg" % i: PHOTO for i in range(300)}
HANDED = {"photos/Été à Paris/a.jpg": PHOTO, "photos/b.jpg": PHOTO, "other/x.jpg": PHOTO}


def twins(files):
    """`files` under photos/ and under batch/photos/ for marlovex-batch, a
    photo beside each."""
    return {base + name: data for base in ("", "batch/") for name, data in
            dict({"photos/" + n: d for n, d in files.items()}, **{"outside/victim.jpg": PHOTO}).items()}


# Checks: (test, app).
def same_as_batch(test, app, all_app=False):
    """The log, line for line, and the files, byte for byte, are what
    marlovex-batch makes of the twin tree; no box; the photo beside stays."""
    batch = subprocess.run([ARGS.batch] + (["--all-app"] if all_app else []) + [test.root + "/batch/photos"],
                           capture_output=True, env=dict(os.environ, **app.lang))
    expected = b"\r\n".join(line.replace((test.root + "/batch/photos").encode(), windows_path(test.root + "/photos"))
                            .replace(b"/", b"\\") for line in batch.stdout.split(b"\n"))
    test.assertEqual(in_listing_order(app.log(), app.lang), in_listing_order(expected, app.lang))
    test.assertEqual(all_files(test.root + "/photos"), all_files(test.root + "/batch/photos"))
    test.assertEqual((app.state()["boxes"], read(test.root + "/outside/victim.jpg")), ([], PHOTO))


def stopped(test, app):
    log, cleaned = app.log(), list(all_files(test.root + "/many").values()).count(CLEANED)
    test.assertEqual((cleaned, log[-21:]), (log.count(b"XMP removed: "), b"Operation canceled.\r\n"))
    test.assertLess(cleaned, 300)


def ended_at_a_commit_boundary(test, app, slow=False):
    test.assertEqual(app.process.wait(timeout=40), 0)
    files = all_files(test.root + "/many")
    test.assertEqual((len(files), set(files.values()) - {PHOTO, CLEANED}), (300, set()))  # no temporary file
    test.assertLess(list(files.values()).count(CLEANED), 1 if slow else 300)  # it stopped; the slow one abandoned
    test.assertIn("ALLAPP", test.settings())


TRIMMED = b"(Earlier lines were removed to make room.)\r\n"


def trimmed(ending):
    """The pane, its limit lowered to 4,000 characters, begins with the note
    that earlier lines went, and ends with `ending`."""
    def check(test, app):
        log = app.log()
        test.assertEqual((log[:len(TRIMMED)], len(log.decode()) <= 4000), (TRIMMED, True))
        test.assertTrue(log.endswith(ending), log[-200:])
    return check


def dialogs():
    return int(driver("dialogs")[1])


def second_copy_exits(test, app):
    second = subprocess.run(["wine", ARGS.exe], cwd=test.cwd, env=wine_env(EN), timeout=30,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    test.assertEqual((second.returncode, app.process.poll()), (0, None))


def session_ends_within_5_s(test, app):
    test.assertLess(int(driver("end-session")[1].split()[-1]), 5000)
    ended_at_a_commit_boundary(test, app)


def temporary_file_made(test, app):
    wait_for(lambda: any("marlovex" in n for n in os.listdir(test.root + "/many")), 30, "a temporary file")


def laid_out_at(dpi):
    """START, STOP and the check box at their places at 96 DPI scaled, each
    showing its whole text (a button's inside its edges, the check box's
    after its box), none overlapping another; the log fills the rest."""
    scale = lambda v: int(v * dpi / 96 + 0.5)

    def check(test, app):
        state = app.state()
        places, (width, height) = state["layout"], state["client"]
        test.assertEqual({i: places[i] for i in LAYOUT}, {i: [scale(v) for v in p] for i, p in LAYOUT.items()})
        test.assertEqual(places[1001], [scale(10), scale(30), width - 2 * scale(10), height - scale(35)])
        for i, room in ((1002, 2 * scale(3)), (1003, 2 * scale(3)), (1004, state["checkbox"] + scale(3))):
            test.assertLessEqual(state["textwidth"][i] + room, places[i][2], state["text"][i])
        for (x1, y1, w1, h1), (x2, y2, w2, h2) in itertools.combinations(places.values(), 2):
            test.assertFalse(x1 < x2 + w2 and x2 < x1 + w1 and y1 < y2 + h2 and y2 < y1 + h1)
    return check


START, READY = ("start",), ("ready",)
RUN, RUN_JA = (("click", 1002), ("log", b"Total "), READY), (("click", 1002), ("log", "合計 ".encode()), READY)
LONG_RUN = (("drop", "many"), READY, ("click", 1002), ("log", b"XMP removed: "))
LAYOUT = {1002: [10, 5, 50, 20], 1003: [70, 5, 50, 20], 1004: [130, 5, 185, 20]}
JA_TEXT = {"caption": "marlovex - JPEG メタデータ削除ツール".encode("cp932"),
           "text": {1002: "開始".encode("cp932"), 1003: "停止".encode("cp932"), 1004: "全 APP ヘッダの削除".encode("cp932")}}
NAMES_TREE = twins({n: SOI + EXIF + XMP + IMAGE for n in NAMES})
NAMES_RUN = lambda run, *shot: (("drop", "photos"), READY) + run + (("check", same_as_batch),) + shot + (
    ("drop", "photos/" + DEEP), ("log", "$W/photos/" + NAMES[-1] + "\r\n", "whole"))

# name: (files, steps). A step: ("start", lang, settings file, wrap), ("drop", names...), ("click", id),
# ("driver", command...), ("ready",) (START enabled, STOP disabled), ("log", text, "whole" or "ansi"; without:
# the text is in the log; None: the opening texts), ("box", owner, caption, text, state) then OK, ("state", fields),
# ("close", driver command...) and the exit, ("settings", keys; "normal": the rectangle before the close),
# ("files", contents), ("check", f), ("screenshot", name). "$W" is the test's folder as Windows writes it.
SCENARIOS = {
    "start-up, START before a drop, a second copy, resize, close box": ({}, (
        START, ("log", None), ("state", {"checked": 0, "normal": [0, 0, 600, 400], "window": [0, 0, 600, 400],
                                         "caption": b"marlovex - JPEG metadata remover", "layout": LAYOUT}),
        ("state", {"text": {1002: b"START", 1003: b"STOP", 1004: b"Remove all APP headers"},
                   "buttons": {1002: 0, 1003: 0}, "logx": 0}),
        ("click", 1002), ("check", second_copy_exits), ("log", None), ("driver", "client", 300, 200),
        ("state", {"client": [300, 200], "layout": {**LAYOUT, 1001: [10, 30, 280, 165]}}), ("close", "close"),
        ("settings", {"ALLAPP": "0", "normal": None}))),
    "the settings give the rectangle; ALLAPP=2 opens unchecked; closed maximised by Ctrl+Q": ({}, (
        ("start", EN, b"[Main]\r\nTOP=40\r\nLEFT=30\r\nRIGHT=530\r\nBOTTOM=380\r\nALLAPP=2\r\n"),
        ("state", {"normal": [30, 40, 530, 380], "window": [30, 40, 530, 380], "checked": 0}), ("click", 1004),
        ("driver", "maximise"), ("state", {"showcmd": 3, "checked": 1}), ("close", "key-ctrl", "Q"),
        ("settings", {"TOP": "40", "LEFT": "30", "RIGHT": "530", "BOTTOM": "380", "ALLAPP": "1"}))),
    "at 144 DPI: the default rectangle and the places scaled, every text whole": (twins(TREE), (
        ("dpi", 144), START, ("state", {"window": [0, 0, 900, 600]}), ("check", laid_out_at(144)),
        ("drop", "photos"), READY) + RUN + (("screenshot", "marlovex-en-144dpi.png"),)),
    "a folder in XMP mode": (twins(TREE), (START, ("drop", "photos"), READY) + RUN + (
        ("check", same_as_batch), ("screenshot", "marlovex-en.png"))),
    "a folder in all-APP mode, as the settings ask": (twins(TREE), (
        ("start", EN, b"[Main]\r\nALLAPP=1\r\n"), ("state", {"checked": 1}), ("drop", "photos"), READY) + RUN + (
        ("check", lambda t, a: same_as_batch(t, a, True)),)),
    "STOP during a run": (MANY, (START,) + LONG_RUN + (
        ("click", 1003), ("box", "owned", b"Cancel", "Operation canceled", {"enabled": 0}), READY, ("check", stopped))),
    "a read-only photo is left as it was": ({"ro/locked.jpg": PHOTO}, (
        START, ("drop", "ro"), READY, ("click", 1002), ("box", "unowned", b"Error", "Can't open: $W/ro/locked.jpg", {}),
        ("log", b"No file has been converted."), ("files", {"ro/locked.jpg": PHOTO}))),
    "closing while a file error box is shown": ({"ro/locked.jpg": PHOTO, "ro/next.jpg": PHOTO}, (
        START, ("drop", "ro/locked.jpg", "ro/next.jpg"), READY, ("click", 1002), ("box", "unowned"), ("close", "close"),
        ("files", {"ro/locked.jpg": PHOTO}), ("settings", {"ALLAPP": "0"}))),
    "a drive root is refused": ({}, (
        START, ("drop", "/"), ("box", "owned", b"Error", "Don't drop the root folder of the drive", {}),
        ("log", b"", "ansi"), ("state", {"buttons": {1002: 0, 1003: 0}}))),
    "a second drop during a run waits for its end": (dict(MANY, **{"other/x.jpg": PHOTO}), (START,) + LONG_RUN + (
        ("drop", "other"), ("log", "$W/other/x.jpg\r\n", "whole"), READY, ("files", {"other/x.jpg": PHOTO}),
        ("check", lambda test, app: test.assertEqual(set(all_files(test.root + "/many").values()), {CLEANED})))),
    "closed during a run": (MANY, (START,) + LONG_RUN + (("driver", "close"), ("check", ended_at_a_commit_boundary))),
    "the session ends during a run, in less than 5 s": (MANY, (START,) + LONG_RUN + (
        ("check", session_ends_within_5_s),)),
    "closed while a file's flush is held up for 25 s": (MANY, (
        ("start", EN, None, SLOW), ("drop", "many"), READY, ("click", 1002), ("check", temporary_file_made),
        ("driver", "close"), ("check", lambda test, app: ended_at_a_commit_boundary(test, app, slow=True)))),
    "the pane past its limit keeps the newest lines": (MANY, (
        START, ("driver", "limit", 4000), ("drop", "many"), READY, ("check", trimmed(b"\\0299.jpg\r\n"))) + RUN + (
        ("check", trimmed(b" byte data was removed.\r\n")),)),
    "paths on the command line, as a drop of them: full, relative, a quoted folder ending in a backslash": (
        HANDED, (("start", EN, None, (), r'"$W/other\" "$W/photos/Été à Paris" ../photos/b.jpg'), READY, ("keep-log",),
                 ("drop", "other", "photos/Été à Paris", "photos/b.jpg"), READY, ("same-log",),
                 ("log", "$W/other/x.jpg\r\n$W/photos/Été à Paris/a.jpg\r\n$W/photos/b.jpg\r\n", "whole"))),
    # Wine's X drop strips a dot or a space at a name's end before the program sees it; the command line does not.
    "folders with a dot and a space at their names' end beside their namesakes, on the command line": (
        {"trip./a.jpg": PHOTO, "trip/b.jpg": PHOTO, "sp /c.jpg": PHOTO, "sp/d.jpg": PHOTO}, (
            ("start", EN, None, (), '"$W/trip." "$W/sp "'), READY,
            ("log", "$W/trip./a.jpg\r\n$W/sp /c.jpg\r\n", "whole"))),
    'a drive\'s root on the command line, "Z:\\" as Explorer writes it, then a folder': (HANDED, (
        ("start", EN, None, (), r'"Z:\" "$W/photos"'),
        ("box", "owned", b"Error", "Don't drop the root folder of the drive", {}), ("log", b"", "ansi"))),
    "a second copy's paths while the window is minimised: listed as a drop, the window restored and in front": (
        HANDED, (START, ("driver", "minimise"), ("state", {"showcmd": 2}), ("hand", "other", "photos/b.jpg"), READY,
                 ("state", {"showcmd": 1, "foreground": 1}), ("keep-log",), ("drop", "other", "photos/b.jpg"), READY,
                 ("same-log",), ("log", "$W/other/x.jpg\r\n$W/photos/b.jpg\r\n", "whole"))),
    "a second copy's paths during a run wait for its end; a third copy's are refused with a box": (
        dict(MANY, **{"other/x.jpg": PHOTO, "third/y.jpg": PHOTO}), (START,) + LONG_RUN + (
            ("hand", "other"), ("hand-refused", "third"),
            ("box", "unowned", b"Error", b"The window already open did not take the files/folders", {}),
            ("log", "$W/other/x.jpg\r\n", "whole"), READY, ("files", {"other/x.jpg": PHOTO}),
            ("check", lambda test, app: test.assertEqual(set(all_files(test.root + "/many").values()), {CLEANED})))),
    "300 paths handed over, as a drop of as many": (MANY, (
        START, ("hand",) + tuple(sorted(MANY)), READY, ("keep-log",), ("drop",) + tuple(sorted(MANY)), READY,
        ("same-log",), ("log", "".join("$W/%s\r\n" % n for n in sorted(MANY)[:256]), "whole"))),
    "every name and length, English": (NAMES_TREE, (START,) + NAMES_RUN(RUN)),
    "every name and length, Japanese (code page 932)": (NAMES_TREE, (("start", JA), ("log", None), ("state", JA_TEXT))
                                                        + NAMES_RUN(RUN_JA, ("screenshot", "marlovex-ja.png"))),
}


class WineTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="marlovex-e2e-")
        self.cwd = self.root + "/cwd"

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def settings(self):
        text = read(self.cwd + "/marlovex.ini").decode("latin-1")
        return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)

    def test_scenarios(self):
        for name, (files, steps) in SCENARIOS.items():
            if os.environ.get("E2E_ONLY", "") in name:
                with self.subTest(name):
                    self.play(files, steps)

    def play(self, files, steps):
        shutil.rmtree(self.root)
        os.makedirs(self.cwd)
        for path, data in files.items():
            write(self.root + "/" + path, data)
            os.chmod(self.root + "/" + path, 0o444 if path.endswith("locked.jpg") else 0o644)
        app = normal = kept = None
        scaled = False
        copies = []
        win = lambda text: text.replace("$W", windows_path(self.root).decode()).replace("/", "\\").encode()
        try:
            for kind, *args in steps:
                if kind == "start":
                    if len(args) > 1 and args[1]:
                        write(self.cwd + "/marlovex.ini", args[1])
                    line = win(args[3]).decode() if len(args) > 3 else None
                    app = App(self.cwd, *(args[:1] or [EN]), *args[2:3], line=line)
                elif kind in ("hand", "hand-refused"):  # a second copy with paths
                    paths = [windows_path(self.root + "/" + p).decode() for p in args]
                    copies.append(App(self.cwd, app.lang, args=paths, wait=False))
                    if kind == "hand":
                        self.assertEqual(copies[-1].process.wait(timeout=60), 0)
                elif kind == "keep-log":
                    kept = app.log()
                elif kind == "same-log":
                    self.assertEqual(app.log(), kept)
                elif kind == "dpi":  # read by each program as it starts; 96 again after the scenario
                    set_dpi(args[0])
                    scaled = True
                elif kind == "drop":
                    paths = [p if p == "/" else self.root + "/" + p for p in args]
                    self.assertTrue(xdnd.drop(WINE["display"], "marlovex", paths), "the drop was refused")
                elif kind in ("click", "driver"):
                    driver(*(args if kind == "driver" else ["click"] + args), lang=app.lang)
                elif kind == "ready":
                    self.check_state(app, {"buttons": {1002: 1, 1003: 0}}, 60)
                elif kind == "log" and len(args) == 1 and args[0] is not None:
                    wait_for(lambda: args[0] in app.log(), 60, "%r in the log" % args[0])
                elif kind == "log":
                    opening = OPENING["ja" if app.lang == JA else "en"].encode("cp932" if app.lang == JA else "ascii")
                    expected = opening if args[0] is None else win(args[0]) if isinstance(args[0], str) else args[0]
                    wide = len(args) > 1 and args[1] == "whole"
                    # Read by a program that reads the window in the ANSI code page, the texts are the same bytes.
                    wait_for(lambda: app.log(wide) == expected or app.state()["boxes"], 120, "the log")
                    self.assertEqual(app.log(wide), expected)
                elif kind == "box":
                    box = wait_for(lambda: app.state()["boxes"], 30, "a message box")[0]
                    self.assertEqual(box[0], args[0])
                    if len(args) > 1:
                        self.assertEqual(box[1:], (args[1], args[2] if isinstance(args[2], bytes) else win(args[2])))
                        self.check_state(app, args[3])
                        driver("ok", lang=app.lang)
                        wait_for(lambda: not app.state()["boxes"], 15, "the box to close")
                elif kind == "state":
                    self.check_state(app, args[0])
                elif kind == "close":
                    normal = app.state()["normal"]
                    driver(*args, lang=app.lang)
                    self.assertEqual(app.process.wait(timeout=40), 0)
                elif kind == "settings":
                    expected = dict(args[0], **(dict(zip(("LEFT", "TOP", "RIGHT", "BOTTOM"), map(str, normal)))
                                                if "normal" in args[0] else {}))
                    expected.pop("normal", None)
                    settings = self.settings()
                    self.assertEqual(({key: settings.get(key) for key in expected}, sorted(settings)),
                                     (expected, ["ALLAPP", "BOTTOM", "LEFT", "RIGHT", "TOP"]))
                elif kind == "files":
                    for path, data in args[0].items():
                        self.assertEqual(read(self.root + "/" + path), data, path)
                    self.assertEqual([n for _, _, ns in os.walk(self.root) for n in ns
                                      if "marlovex" in n and n != "marlovex.ini"], [])  # no temporary file
                elif kind == "screenshot" and ARGS.artifacts:
                    os.makedirs(ARGS.artifacts, exist_ok=True)
                    left, top, right, bottom = app.state()["window"]
                    subprocess.run(["import", "-display", WINE["display"], "-window", "root", "-crop", "%dx%d+%d+%d"
                                    % (right - left, bottom - top, left, top), "+repage",
                                    os.path.join(ARGS.artifacts, args[0])], check=False)
                elif kind == "check":
                    args[0](self, app)
            for copy in copies:
                self.assertEqual(copy.process.wait(timeout=60), 0)
        finally:
            if app:
                app.close()
            if scaled:
                set_dpi(96)

    def check_state(self, app, expected, timeout=10):
        """Waits for the dialog to show `expected`, then compares."""
        def seen():
            state = app.state()
            return {k: {c: state[k].get(c) for c in v} if isinstance(v, dict) else state.get(k)
                    for k, v in expected.items()}
        try:
            wait_for(lambda: seen() == expected, timeout, "the state")
        except AssertionError:
            self.assertEqual(seen(), expected)

    def test_pane_past_its_real_limit(self):
        """A drop of about 24,000 photos with nothing to remove and paths of
        about 730 characters passes the pane's limit of 33,554,432
        characters during the run: the end of the run shows, and the pane
        begins with the note that earlier lines went."""
        shutil.rmtree(self.root)
        deep = "/".join("%s %d" % ("d" * 220, i) for i in range(3))
        photo = SOI + JFIF + b"\xFF\xD9"
        for folder in range(60):
            for i in range(400):
                write("%s/big/%s/%02d/%s %03d.jpg" % (self.root, deep, folder, "p" * 60, i), photo)
        os.makedirs(self.cwd)
        app = App(self.cwd)
        try:
            self.assertTrue(xdnd.drop(WINE["display"], "marlovex", [self.root + "/big"]))
            self.check_state(app, {"buttons": {1002: 1, 1003: 0}}, 600)
            driver("click", 1002)
            self.check_state(app, {"buttons": {1003: 1}}, 60)  # the run has begun
            self.check_state(app, {"buttons": {1002: 1, 1003: 0}}, 600)
            log = app.log()
            self.assertEqual(log[:len(TRIMMED)], TRIMMED)
            self.assertTrue(log.endswith(b"No file has been converted.\r\n"), log[-300:])
            self.assertLessEqual(len(log.decode()), 33554432)
        finally:
            app.close()

    def test_second_copy_while_the_first_starts_or_closes(self):
        """A second copy with paths started at once after the first, and one
        started while the first is closing (the file in hand's flush held up
        for 8 s): the paths are listed by exactly one window."""
        shutil.rmtree(self.root)
        for name, data in dict(MANY, **{"other/x.jpg": PHOTO}).items():
            write(self.root + "/" + name, data)
        os.makedirs(self.cwd)
        other, listed = [windows_path(self.root + "/other").decode()], windows_path(self.root + "/other/x.jpg")
        slow = SLOW[:-1] + ("inject=fsync:delay_enter=8000000:when=1",)
        for closing in (False, True):
            with self.subTest(closing=closing):
                first = App(self.cwd, wrap=slow if closing else (), wait=closing)
                if closing:
                    self.assertTrue(xdnd.drop(WINE["display"], "marlovex", [self.root + "/many"]))
                    self.check_state(first, {"buttons": {1002: 1, 1003: 0}}, 60)
                    driver("click", 1002)
                    temporary_file_made(self, first)
                    driver("close")
                second = App(self.cwd, args=other, wait=False)
                copies = (first, second)
                try:
                    ended = wait_for(lambda: [c for c in copies if c.process.poll() is not None], 60, "a copy to end")
                    self.assertEqual([c.process.returncode for c in ended], [0])
                    self.assertTrue(not closing or ended == [first])  # the second took its place
                    running = next(c for c in copies if c not in ended)
                    wait_for(lambda: driver("state")[0] == 0 and listed in running.log(), 60, "the paths listed")
                    self.assertEqual(dialogs(), 1)
                finally:
                    for c in copies:
                        c.close()

    def test_windows_platform_rows(self):
        """The boundary conversions, the commit's rows and a kill at every
        step of each way a commit goes (WinPlatformTest.cpp)."""
        result = subprocess.run(["wine", os.path.join(os.path.dirname(ARGS.exe), "marlovex-winplatform-test.exe"),
                                 windows_path(self.root)], env=wine_env(EN), capture_output=True, timeout=180)
        lines = result.stdout.decode().splitlines()
        self.assertEqual((result.returncode, [l for l in lines if "FAILED" in l], lines[-1:]), (0, [], ["all rows passed"]),
                         result.stdout.decode())
        print(" ".join(l for l in lines if l.endswith(" steps")), end=" ... ", file=sys.stderr)

    def test_batch_exe_takes_forward_slashes(self):
        """marlovex-batch.exe with a path written with '/', started from a
        folder on another volume: the photo is cleaned in its own folder."""
        photo = self.root + "/fs/Été.jpg"
        write(photo, SOI + XMP + IMAGE)
        with tempfile.TemporaryDirectory(dir="/dev/shm") as cwd:
            result = subprocess.run(["wine", os.path.join(os.path.dirname(ARGS.exe), "marlovex-batch.exe"),
                                     windows_path(photo).decode().replace("\\", "/")], cwd=cwd, env=wine_env(EN),
                                    capture_output=True, timeout=60)
            self.assertEqual(os.listdir(cwd), [])
        self.assertEqual((result.returncode, result.stderr, result.stdout.split(b"\r\n")[:3]),
                         (0, b"", [windows_path(photo), b"Started", b"XMP removed: " + windows_path(photo)]))
        self.assertEqual((read(photo), os.listdir(os.path.dirname(photo))), (SOI + IMAGE, ["Été.jpg"]))


class BatchExeTest(unittest.TestCase):
    """marlovex-batch.exe, the worker without a window, where the Windows
    commit meets what the window cannot arrange: a kill from outside, a
    case twin, a link."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="marlovex-e2e-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)

    def batch(self, folder):
        return ["wine", os.path.join(os.path.dirname(ARGS.exe), "marlovex-batch.exe"), windows_path(folder).decode()]

    def test_killed_in_place_then_repaired(self):
        """A large photo with two names, killed while it is rewritten in
        place: its copy lies beside it, and the next run puts it together."""
        photo, other = self.root + "/big/photo.jpg", self.root + "/elsewhere/photo.jpg"
        write(photo, BIG)
        os.makedirs(os.path.dirname(other))
        os.link(photo, other)
        self.assertTrue(kill_while_held(self.batch(self.root + "/big"), photo, env=wine_env(EN)))
        self.assertNotIn(read(photo), (BIG, BIG_CLEANED))
        result = subprocess.run(self.batch(self.root + "/big"), env=wine_env(EN), capture_output=True, timeout=120)
        self.assertEqual(result.stdout.split(b"\r\n")[2:4], [b"Repaired after an interruption: " + windows_path(photo),
                                                              b"No XMP: " + windows_path(photo)])
        self.assertEqual((read(photo) == BIG_CLEANED, os.path.samefile(photo, other), os.listdir(self.root + "/big")),
                         (True, True, ["photo.jpg"]))

    def test_names_kept_and_roots_refused(self):
        """Arguments reach the system as given: a folder named with a dot or
        a space at its end, or a device's name, is that folder and no other;
        a long form that is not full is refused, and so is every form of a
        drive's root."""
        t = self.root + "/t"
        names = ["trip./a.jpg", "trip/b.jpg", "sp /c.jpg", "sp/d.jpg", "aux/e.jpg"]
        w = windows_path(t).decode()
        root_box = b"Error: Don't drop the root folder of the drive\r\n"
        rows = [([w + "\\trip."], 0, b"", ["trip./a.jpg"]),
                ([w.replace("\\", "/") + "/sp "], 0, b"", ["sp /c.jpg"]),
                ([w + "\\aux"], 0, b"", ["aux/e.jpg"]),
                (["\\\\?\\C:photos"], 1, b"Error: Found invalid files/folders\r\n", []),
                (["\\\\.\\C:\\"], 1, root_box, []),
                (["//?/C:/"], 1, root_box, [])]
        for args, code, err, cleaned in rows:
            with self.subTest(args=args):
                for name in names:
                    write(t + "/" + name, PHOTO)
                result = subprocess.run(self.batch(t)[:2] + args, env=wine_env(EN), capture_output=True,
                                        timeout=120)
                self.assertEqual((result.returncode, result.stderr), (code, err))
                self.assertEqual([n for n in names if read(t + "/" + n) == CLEANED], cleaned)

    def test_case_twin_and_link(self):
        """A photo with a case twin beside it, which makes ReplaceFileW fail
        half-way, and one reached through a symbolic link: nothing is lost,
        and the link stays a link to its cleaned target."""
        t = self.root + "/t"
        write(t + "/TWIN3.JPG", PHOTO + b"upper")
        write(t + "/Twin3.Jpg", PHOTO + b"mixed")
        write(t + "/target.jpg", PHOTO)
        os.symlink("target.jpg", t + "/link.jpg")
        result = subprocess.run(self.batch(t), env=wine_env(EN), capture_output=True, timeout=120)
        self.assertEqual((result.returncode, result.stderr), (1, b"Error: File output error: %s\r\n" % windows_path(t + "/TWIN3.JPG")))
        self.assertEqual((os.readlink(t + "/link.jpg"), read(t + "/target.jpg"), read(t + "/Twin3.Jpg")),
                         ("target.jpg", CLEANED, CLEANED + b"mixed"))
        kept = sorted(n for n in os.listdir(t) if n.startswith("~marlovex"))
        self.assertEqual(sorted(read(t + "/" + n) for n in kept), [CLEANED + b"upper", PHOTO + b"upper"])
        again = subprocess.run(self.batch(t), env=wine_env(EN), capture_output=True, timeout=120)
        for name in kept:  # reported, never removed
            self.assertIn(b"Kept from an interrupted rewrite: " + windows_path(t + "/" + name), again.stdout)
        self.assertEqual(sorted(n for n in os.listdir(t) if n.startswith("~marlovex")), kept)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("--exe", "--driver", "--batch"):
        parser.add_argument(name, required=True, type=os.path.abspath)
    parser.add_argument("--artifacts", type=os.path.abspath)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
