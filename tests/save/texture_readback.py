# The EXR and DDS files of texture_writers_test as OpenCV and Pillow read them.
# Usage: texture_readback.py DIR (NAME.f32 holds the float RGBA source of each
# NAME_*.exr and NAME_*.dds). Every mip level is cut out into a file of its own
# for Pillow, which reads only the first, and compared with the level that an
# area-weighted box filter written here gives.
import io, os, struct, sys
os.environ["OPENCV_IO_ENABLE_OPENEXR"] = "1"
import cv2
import numpy as np
from PIL import Image

folder = sys.argv[1]
SIZES = {"smooth": (64, 32), "rough": (37, 21)}


def box(n):  # the weights that take n samples to max(1, n // 2)
    m = max(1, n // 2)
    w = np.zeros((m, n))
    for i in range(m):
        for j in range(n):
            w[i, j] = max(0, min((i + 1) * n, (j + 1) * m) - max(i * n, j * m)) / n
    return w


def shrink(img):
    return np.einsum("ij,jkc,lk->ilc", box(img.shape[0]), img, box(img.shape[1]))


def srgb_to_linear(c):
    return np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)


def linear_to_srgb(c):
    return np.where(c <= 0.0031308, c * 12.92, 1.055 * np.abs(c) ** (1 / 2.4) - 0.055)


def unit(v):
    return v / np.linalg.norm(v, axis=2, keepdims=True)


def expected_levels(src, kind):  # each level in stored values
    if kind == "bc5":
        x, y = 2 * src[..., 0] - 1, 2 * src[..., 1] - 1
        level = unit(np.dstack([x, y, np.sqrt(np.maximum(0, 1 - x * x - y * y))]))
        to_stored = lambda v: 0.5 + 0.5 * v
    elif kind == "bc7":
        level = np.dstack([srgb_to_linear(src[..., :3]), src[..., 3:]])
        to_stored = lambda v: np.dstack([linear_to_srgb(v[..., :3]), v[..., 3:]])
    else:
        level, to_stored = src, lambda v: v
    out = [src if kind == "bc7" else to_stored(level)]
    while level.shape[0] > 1 or level.shape[1] > 1:
        level = shrink(level)
        level = unit(level) if kind == "bc5" else level
        out.append(to_stored(level))
    return out


def dds_levels(path):  # each level as its own file, decoded by Pillow
    data = open(path, "rb").read()
    head = 148 if data[84:88] == b"DX10" else 128
    h, w, _, _, count = struct.unpack_from("<5I", data, 12)
    block = 8 if data[84:88] == b"ATI1" else 16
    offset, levels = head, []
    for _ in range(count):
        size = ((w + 3) // 4) * ((h + 3) // 4) * block
        one = bytearray(data[:head])
        struct.pack_into("<5I", one, 12, h, w, size, 0, 1)
        levels.append(np.asarray(Image.open(io.BytesIO(bytes(one) + data[offset:offset + size]))) / 255.0)
        offset, w, h = offset + size, max(1, w // 2), max(1, h // 2)
    assert offset == len(data), f"{path}: {len(data) - offset} bytes after the last level"
    return levels


def block_bound(e, steps):
    """Per pixel: its 4 x 4 block's widest channel range over steps, plus the
    rounding of 8-bit endpoints and of Pillow's integer division."""
    h, w = e.shape[:2]
    bound = np.empty((h, w))
    for y in range(0, h, 4):
        for x in range(0, w, 4):
            b = e[y:y + 4, x:x + 4].reshape(-1, e.shape[2])
            bound[y:y + 4, x:x + 4] = (b.max(0) - b.min(0)).max() / steps + 2.5 / 255
    return bound[..., None]


failures = 0
for name, (w, h) in SIZES.items():
    src = np.fromfile(f"{folder}/{name}.f32", np.float32).reshape(h, w, 4).astype(np.float64)
    # EXR: the float Y channel exactly; half floats within half a unit in the last place.
    y = cv2.imread(f"{folder}/{name}_y.exr", cv2.IMREAD_UNCHANGED)
    rgba = cv2.imread(f"{folder}/{name}_rgba.exr", cv2.IMREAD_UNCHANGED)[..., [2, 1, 0, 3]]
    ok = y.dtype == np.float32 and np.array_equal(y, src[..., 0].astype(np.float32))
    ok &= np.array_equal(rgba, src.astype(np.float16).astype(np.float32))
    # DDS: every level's size; on the smooth map each level within the block
    # formats' error of the filtered source, and decoded normals of unit length
    # (x^2 + y^2 <= 1, the block error allowed).
    for kind, channels in (("bc4", [0]), ("bc5", [0, 1]), ("bc7", [0, 1, 2, 3])):
        got, want = dds_levels(f"{folder}/{name}_{kind}.dds"), expected_levels(src, kind)
        ok &= len(got) == len(want)
        for g, e in zip(got, want):
            g = g.reshape(g.shape[0], g.shape[1], -1)[..., : len(channels)]
            e = np.clip(e[..., channels], 0, 1)
            ok &= g.shape == e.shape
            if name == "smooth" and g.shape == e.shape:
                ok &= (np.abs(g - e) <= block_bound(e, 4 if kind == "bc7" else 7)).all()
            if kind == "bc5" and name == "smooth":
                ok &= ((2 * g[..., 0] - 1) ** 2 + (2 * g[..., 1] - 1) ** 2).max() <= 1.03
    if not ok:
        print(f"{name}: read back differently", file=sys.stderr)
        failures += 1
print(f"{len(SIZES) - failures} passed, {failures} failed")
sys.exit(1 if failures else 0)
