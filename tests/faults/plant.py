#!/usr/bin/env python3
"""Plants each fault of faults.py, one at a time, in a scratch copy of the
checkout, and runs the tests that can catch it: the native suite (ctest,
ASan/UBSan) for the portable code, the Windows platform rows under Wine for
the Windows-only code. Prints each fault as killed or survived, and the
counts. The checkout itself is never touched.

usage: plant.py [--only TEXT] [--list] [--tests REVISION]

--tests runs the tests as they were at REVISION (the faults stay
these), to compare what two versions of the tests catch.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
from faults import FAULTS  # noqa: E402


def sh(command, cwd, timeout=900):
    return subprocess.run(command, cwd=cwd, shell=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=timeout).returncode


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--only", default="")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--tests")
    args = parser.parse_args()
    faults = [f for f in FAULTS if args.only in f[3]]
    scratch = tempfile.mkdtemp(prefix="marlovex-faults-")
    try:
        files = subprocess.run(["git", "ls-files"], cwd=TOP, capture_output=True, text=True, check=True).stdout.split()
        for name in files:
            os.makedirs(os.path.dirname(os.path.join(scratch, name)) or scratch, exist_ok=True)
            shutil.copy2(os.path.join(TOP, name), os.path.join(scratch, name))
        if args.tests:
            for name in files:
                if name.startswith("tests/") and not name.startswith("tests/faults/"):
                    os.unlink(os.path.join(scratch, name))
            archive = subprocess.run(["git", "archive", args.tests, "tests"], cwd=TOP, capture_output=True, check=True)
            subprocess.run(["tar", "-x", "--exclude=tests/faults"], cwd=scratch, input=archive.stdout, check=True)
        for path, find, plant, what in faults:  # each applies to exactly one place
            count = open(os.path.join(scratch, path)).read().count(find)
            if count != 1:
                sys.exit("%s: %r occurs %d times in %s" % (what, find, count, path))
        if args.list:
            print("\n".join(f[3] for f in faults))
            return 0
        native = "cmake -S . -B build/n -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMARLOVEX_SANITIZE=ON >/dev/null"
        windows = ("cmake -S . -B build/w -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake "
                   "-DCMAKE_BUILD_TYPE=Release >/dev/null")
        if sh(native + " && cmake --build build/n", scratch) or sh("cd build/n && ctest -j2", scratch):
            sys.exit("the suite does not pass without a fault")
        wine = any(path.endswith(("Win32.cpp", "WinText.cpp")) for path, _, _, _ in faults)
        rows = ("mkdir -p rows && WINEPREFIX=$PWD/prefix wine build/w/marlovex-winplatform-test.exe 'Z:%s\\rows' "
                "| tail -n 1 | grep -q 'all rows passed'" % scratch.replace("/", "\\"))
        if wine and (sh(windows + " && cmake --build build/w --target marlovex-winplatform-test", scratch) or
                     sh("rm -rf rows; " + rows, scratch)):
            sys.exit("the Windows rows do not pass without a fault")
        killed = 0
        for path, find, plant, what in faults:
            full = os.path.join(scratch, path)
            original = open(full).read()
            open(full, "w").write(original.replace(find, plant, 1))
            if path.endswith(("Win32.cpp", "WinText.cpp")):
                caught = sh("cmake --build build/w --target marlovex-winplatform-test", scratch) != 0 or \
                    sh("rm -rf rows; WINEDEBUG=-all " + rows, scratch) != 0
            else:
                caught = sh("cmake --build build/n", scratch) != 0 or \
                    sh("cd build/n && ctest -j2 --timeout 300", scratch) != 0
            open(full, "w").write(original)
            killed += caught
            print("%-8s %s" % ("killed" if caught else "SURVIVED", what), flush=True)
        print("%d of %d faults killed" % (killed, len(faults)))
        return 0
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
