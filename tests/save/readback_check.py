# The command's 16-bit, blurred DDS normal and tiling output as Pillow and OpenCV read it.
# Usage: readback_check.py RELIEFKIT SAMPLE (the 512 x 512 bricks.png).
import subprocess, sys, tempfile
import cv2
import numpy as np
from PIL import Image

reliefkit, sample = sys.argv[1], sys.argv[2]


def run(*args):
    subprocess.run([reliefkit, "-q", *args], check=True)


def read(path):  # OpenCV, as stored (16-bit kept)
    return cv2.imread(path, cv2.IMREAD_UNCHANGED)


with tempfile.TemporaryDirectory() as tmp:
    # Every 16-bit code once, through a height map with every step off: the
    # same codes come back.
    codes = np.arange(65536, dtype=np.uint16).reshape(256, 256)
    Image.fromarray(codes, mode="I;16").save(f"{tmp}/codes.png")
    run("--depth", "16", "--height-only", "--no-auto-levels", "--detail-size", "0",
        "--smooth-size", "0", "--mode", "red", "-o", tmp, f"{tmp}/codes.png")
    assert np.array_equal(np.asarray(Image.open(f"{tmp}/codes_height.png")), codes)
    assert np.array_equal(read(f"{tmp}/codes_height.png"), codes)

    # 16-bit normals agree with the 8-bit ones to within rounding.
    for depth in ("8", "16"):
        run("--depth", depth, "--seamless", "-o", f"{tmp}/{depth}", sample)
    wide = read(f"{tmp}/16/bricks_normal.png")[..., ::-1]  # BGR to RGB
    narrow = np.asarray(Image.open(f"{tmp}/8/bricks_normal.png"))
    assert wide.dtype == np.uint16 and np.abs(wide / 257.0 - narrow).max() <= 0.51

    # A blurred normal map saved as DDS BC5, whose reader rebuilds z from red
    # and green, holds the x and y of the blurred normals scaled to unit length.
    for args in (("--format", "png"), ("--normal-blur-size", "3", "--normal-blur-kind", "box", "--format", "dds")):
        run(*args, "--maps", "normal", "-o", f"{tmp}/{args[-1]}", sample)
    n = np.asarray(Image.open(f"{tmp}/png/bricks_normal.png")) / 255.0
    v = np.dstack([2 * n[..., 0] - 1, 2 * n[..., 1] - 1, n[..., 2]])
    box = sum(np.roll(v, (dy, dx), (0, 1)) for dy in (-1, 0, 1) for dx in (-1, 0, 1))[1:-1, 1:-1]
    unit_xy = box[..., :2] / np.linalg.norm(box, axis=-1, keepdims=True)
    xy = np.asarray(Image.open(f"{tmp}/dds/bricks_normal.dds"))[1:-1, 1:-1, :2] / 127.5 - 1
    assert abs((xy ** 2).sum(-1).mean() - (unit_xy ** 2).sum(-1).mean()) < 0.01, (xy ** 2).sum(-1).mean()

    run("--make-tileable=0.2", "--preview", f"{tmp}/p.png", "--preview-tiles", "2", "-o", tmp, sample)
    assert Image.open(f"{tmp}/p.png").size == (1024, 1024)
print("1 passed, 0 failed")
