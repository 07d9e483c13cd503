"""Synthetic JPEG files for the end-to-end tests: segments whose removal is
known, so every expected output is known byte for byte."""
import os
import signal
import struct
import subprocess


def seg(marker, payload, length=None):
    """FF, the marker, the big-endian length (payload + 2 unless given), payload."""
    return bytes([0xFF, marker]) + struct.pack(">H", len(payload) + 2 if length is None else length) + payload


SOI = b"\xFF\xD8"
JFIF = seg(0xE0, b"JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00")
EXIF = seg(0xE1, b"Exif\x00\x00MM\x00*\x00\x00\x00\x08" + b"e" * 300)
XMP = seg(0xE1, b"http://ns.adobe.com/xap/1.0/\x00<x:xmpmeta xmlns:x='adobe:ns:meta/'/>" + b" " * 500)
ICC = seg(0xE2, b"ICC_PROFILE\x00\x01\x01" + b"c" * 700)
ADOBE = seg(0xEE, b"Adobe\x00\x64\x00\x00\x00\x00\x01")
# Stands for the image data: a quantisation table, a scan, the end marker.
IMAGE = seg(0xDB, bytes(range(65))) + b"\xFF\xDA\x00\x02" + bytes(range(256)) * 8 + b"\xFF\xD9"


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def kill_while_held(command, photo, **options):
    """Starts `command`, which rewrites `photo` in place, and ends its whole
    process group with SIGKILL, as Task Manager's "End task" or a crash ends
    it, once the photo's header is held at 00 00: the rewrite in place has
    begun. True when it was caught there, False when it ended first."""
    process = subprocess.Popen(command, start_new_session=True, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, **options)
    try:
        while process.poll() is None:
            with open(photo, "rb") as f:
                if f.read(2) == b"\0\0":
                    os.killpg(process.pid, signal.SIGKILL)
                    return True
        return False
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
        process.wait()


# A photo of about 85 MB, and what it is without its XMP segment.
BIG, BIG_CLEANED = SOI + JFIF + XMP + IMAGE * 40000, SOI + JFIF + IMAGE * 40000
