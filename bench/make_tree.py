#!/usr/bin/env python3
"""Generates the benchmark's photo tree: JPEG files from 100 KB to 8 MB,
mostly 1 to 4 MB, with Exif, XMP, ICC and IPTC segments, in nested folders.
Pictures come from ImageMagick (seeded plasma with noise), metadata from
exiftool; the same seed gives the same tree.

usage: make_tree.py OUT-FOLDER [--files N] [--seed S]
"""
import argparse
import os
import random
import shutil
import subprocess
import sys

# (width, height) of the base pictures, chosen so that quality 92 gives
# roughly the sizes in the comments.
BASES = [
    (400, 300),     # ~0.1 MB
    (800, 600),     # ~0.4 MB
    (1300, 950),    # ~1 MB
    (1600, 1200),   # ~1.6 MB
    (1900, 1400),   # ~2.2 MB
    (2200, 1600),   # ~3 MB
    (2400, 1800),   # ~3.6 MB
    (2900, 2100),   # ~5 MB
    (3500, 2600),   # ~7.6 MB
]
# How often each base is used: mostly 1 to 4 MB.
WEIGHTS = [4, 6, 14, 18, 18, 16, 12, 7, 5]

ICC_CANDIDATES = ["/usr/share/color/icc/ghostscript/srgb.icc", "/usr/share/color/icc/sRGB.icc"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--files", type=int, default=320)
    parser.add_argument("--seed", type=int, default=20261209)
    args = parser.parse_args()
    rng = random.Random(args.seed)

    stamp = os.path.join(args.out, ".made-with")
    wanted = "files=%d seed=%d\n" % (args.files, args.seed)
    if os.path.exists(stamp) and open(stamp).read() == wanted:
        return 0
    shutil.rmtree(args.out, ignore_errors=True)
    bases_dir = os.path.join(args.out, ".bases")
    tree = os.path.join(args.out, "tree")
    os.makedirs(bases_dir)

    bases = []
    for i, (w, h) in enumerate(BASES):
        path = os.path.join(bases_dir, "base%d.jpg" % i)
        subprocess.run(["convert", "-seed", str(args.seed + i), "-size", "%dx%d" % (w, h), "plasma:fractal",
                        "-attenuate", "0.6", "+noise", "Gaussian", "-quality", "92", path], check=True)
        bases.append(path)

    files = []
    for n in range(args.files):
        base = rng.choices(bases, WEIGHTS)[0]
        folder = os.path.join(tree, "%04d" % (2015 + n % 7), "%02d-%s" % (1 + n % 12, rng.choice(["trip", "home", "work"])))
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "IMG_%04d.jpg" % n)
        shutil.copyfile(base, path)
        files.append(path)

    icc = next((p for p in ICC_CANDIDATES if os.path.exists(p)), None)
    common = ["exiftool", "-q", "-q", "-overwrite_original", "-Make=Marlovex Camera Co", "-Model=MX-1",
              "-Artist=Bench Person", "-Copyright=(c) bench", "-DateTimeOriginal=2026:12:09 10:00:00",
              "-GPSLatitude=35.6", "-GPSLatitudeRef=N", "-GPSLongitude=139.7", "-GPSLongitudeRef=E",
              "-IPTC:Keywords=bench", "-IPTC:City=Tokyo", "-IPTC:By-line=Bench Person"]
    if icc:
        common.append("-ICC_Profile<=" + icc)
    # Most files also carry an XMP packet, of varying size.
    with_xmp = [p for p in files if rng.random() < 0.85]
    without_xmp = [p for p in files if p not in set(with_xmp)]
    if without_xmp:
        subprocess.run(common + without_xmp, check=True)
    # One exiftool call per description length keeps the call count small.
    groups = {}
    for p in with_xmp:
        groups.setdefault(rng.choice([50, 400, 3000]), []).append(p)
    for length, group in sorted(groups.items()):
        subprocess.run(common + ["-XMP-dc:Creator=Bench Person", "-XMP-dc:Description=" + "d" * length,
                                 "-XMP-xmp:Rating=4", "-XMP-photoshop:City=Tokyo"] + group, check=True)
    shutil.rmtree(bases_dir)
    with open(stamp, "w") as f:
        f.write(wanted)
    return 0


if __name__ == "__main__":
    sys.exit(main())
