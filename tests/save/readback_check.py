"""The command's 16-bit maps as Pillow and OpenCV read them.

Usage: readback_check.py RELIEFKIT SAMPLE. A 16-bit grey input holding every
code once goes through the command with every height step off, so its height
map must read back with the same codes; the normal map of the sample at 16
bits must agree with the 8-bit one to within rounding.
"""
import os
import subprocess
import sys
import tempfile

import cv2
import numpy as np
from PIL import Image

reliefkit, sample = sys.argv[1], sys.argv[2]
with tempfile.TemporaryDirectory() as tmp:
    codes = np.arange(65536, dtype=np.uint16).reshape(256, 256)
    Image.fromarray(codes, mode="I;16").save(os.path.join(tmp, "codes.png"))
    flat = ["--no-auto-levels", "--detail-size", "0", "--smooth-size", "0", "--mode", "red"]
    subprocess.run([reliefkit, "-q", "--depth", "16", "--height-only", *flat, "-o", tmp,
                    os.path.join(tmp, "codes.png")], check=True)
    height = os.path.join(tmp, "codes_height.png")
    assert np.array_equal(np.asarray(Image.open(height)), codes), "Pillow grey 16"
    assert np.array_equal(cv2.imread(height, cv2.IMREAD_UNCHANGED), codes), "OpenCV grey 16"

    for depth in ("8", "16"):
        subprocess.run([reliefkit, "-q", "--depth", depth, "-o", os.path.join(tmp, depth), sample],
                       check=True)
    name = os.path.splitext(os.path.basename(sample))[0] + "_normal.png"
    wide = cv2.imread(os.path.join(tmp, "16", name), cv2.IMREAD_UNCHANGED)[:, :, ::-1]
    narrow = np.asarray(Image.open(os.path.join(tmp, "8", name)))
    assert wide.dtype == np.uint16 and wide.shape == narrow.shape, "OpenCV RGB 16"
    assert np.abs(wide / 257.0 - narrow).max() <= 0.51, "16-bit normals match the 8-bit ones"
    # Pillow has no 16-bit RGB mode: it gives the high byte of each sample.
    pil = np.asarray(Image.open(os.path.join(tmp, "16", name)))
    assert np.array_equal(pil, (wide >> 8).astype(np.uint8)), "Pillow RGB 16"
print("1 passed, 0 failed")
