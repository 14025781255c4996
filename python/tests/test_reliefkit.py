import os
import shutil
import subprocess
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import reliefkit as rk
from reliefkit import _images, _native

REPO = Path(__file__).resolve().parents[2]
BRICKS = REPO / "docs" / "samples" / "bricks.png"


@pytest.fixture
def tmp():
    with tempfile.TemporaryDirectory() as d:  # removed also when the test fails
        yield Path(d)


def command():
    found = os.environ.get("RELIEFKIT_CLI") or shutil.which("reliefkit")
    if not found:
        pytest.skip("the reliefkit command is not built (set RELIEFKIT_CLI)")
    return found


# The command's options and the same settings through the binding: both must write
# the same files, which pins every default and every option's translation. At 8 bits
# the binding's saver is not the command's.
@pytest.mark.parametrize("args, height, normal, save", [
    ([], {}, {}, {}),
    (["--depth", "16"], {}, {}, {"depth": 16}),
    (["--invert-red", "--invert-green", "--invert-blue", "--strength", "4",
      "--normal-blur-size", "5"], {"invert": True}, {"strength": 4, "blur": 5}, {}),
    (["--mode", "average", "--no-auto-levels", "--midpoint", "0.3", "--clamp-low", "0.2",
      "--detail-size", "0", "--smooth-kind", "tent", "--smooth-size", "7", "--invert-y",
      "--center-weight", "3", "--normal-blur-kind", "box", "--normal-blur-size", "4",
      "--channels", "grb"],
     {"mode": "average", "auto_levels": False, "midpoint": 0.3, "clamp": (0.2, 1.0),
      "detail": None, "smooth": (7, rk.BlurKind.TENT)},
     {"invert_y": True, "center_weight": 3, "blur": (4, "box")}, {"channels": "grb"}),
])
def test_same_files_as_the_command(tmp, args, height, normal, save):
    subprocess.run([command(), "-q", "-o", str(tmp), *args, str(BRICKS)], check=True)
    h = rk.heightmap(rk.load(BRICKS), **height)
    rk.save_png(tmp / "h.png", h, **dict(save, channels="r"))  # the command's are grey
    rk.save_png(tmp / "n.png", rk.normalmap(h, **normal), **save)
    assert (tmp / "h.png").read_bytes() == (tmp / "bricks_height.png").read_bytes()
    assert (tmp / "n.png").read_bytes() == (tmp / "bricks_normal.png").read_bytes()


def unaligned_copy(a):
    raw = np.empty(a.nbytes + 4, np.uint8)
    start = 4 + (-raw.ctypes.data % 16)
    out = raw[start:start + a.nbytes].view(np.float32).reshape(a.shape)
    out[...] = a
    return out


def test_lends_aligned_rgba_and_copies_the_rest():
    photo = rk.load(BRICKS)
    lent = _images.InputImage(photo)
    assert lent.borrowed and lent.record.pixels == photo.ctypes.data
    odd = unaligned_copy(photo)
    assert odd.ctypes.data % 16 == 4
    for other in (odd, photo[:, :, :3], photo[::2, ::2], photo.astype(np.float64)):
        copied = _images.InputImage(other)
        assert not copied.borrowed and copied.record.pixels % 16 == 0
    # Lent or copied, the library reads the same pixels.
    assert np.array_equal(rk.heightmap(odd), rk.heightmap(photo))
    assert np.array_equal(rk.heightmap(photo[:, :, 0]), rk.heightmap(photo))


def test_results_own_their_memory():
    h = rk.heightmap(rk.load(BRICKS))
    assert isinstance(h.base, _images._ImageOwner) and h.flags.writeable
    view = h[10:20]
    del h  # the view keeps the image alive
    assert np.all(view[..., 3] == 1.0)


@pytest.mark.parametrize("call, error, words", [
    (lambda d: rk.load(d / "missing.png"), FileNotFoundError, "missing.png"),
    (lambda d: rk.load(write(d / "x.png", b"\x89PNG\r\n\x1a\nbroken")), rk.ReliefkitError,
     "x.png:\n  "),
    (lambda d: rk.save_png(d / "no" / "x.png", np.zeros((2, 2, 4))), rk.ReliefkitError,
     "cannot write"),
    (lambda d: rk.load(fifo(d / "pipe.png")), rk.ReliefkitError, "not a regular file (a FIFO)"),
    (lambda d: rk.load(os.fsencode(d) + b"/\xff.png"), ValueError, "not valid UTF-8"),
    (lambda d: rk.save_png(os.fsencode(d) + b"/\xff.png", np.zeros((2, 2))), ValueError,
     "not valid UTF-8"),
    (lambda d: rk.heightmap(np.zeros((2, 2, 4)), mode="bright"), ValueError, "luminance"),
    (lambda d: rk.heightmap(np.zeros((2, 2, 4)), midpoint=2), ValueError, "midpoint"),
    (lambda d: rk.heightmap(np.zeros((2, 2, 5))), ValueError, "(H, W, 4)"),
    (lambda d: rk.normalmap(np.zeros((2, 2)), strength=11), ValueError, "strength"),
    (lambda d: rk.normalmap(np.zeros((2, 2)), blur=(5, "disc")), ValueError, "blur kind"),
    (lambda d: rk.resample(np.zeros((2, 2)), 0, 4), ValueError, "width"),
    (lambda d: rk.save_png(d / "x.png", np.zeros((2, 2)), depth=12), ValueError, "depth"),
])
def test_failures_say_why(tmp, call, error, words):
    with pytest.raises(error) as caught:
        call(tmp)
    assert words in str(caught.value)


def fifo(path):
    os.mkfifo(path)
    return path


def write(path, data):
    path.write_bytes(data)
    return path


def test_diagnostics_stay_with_their_thread(tmp):
    files = [write(tmp / f"{i}.dds", b"DDS " + bytes([i]) * 200) for i in range(2)]
    files.append(write(tmp / "2.png", b"\x89PNG\r\n\x1a\n" + b"\0" * 64))

    def reasons(f):
        with pytest.raises(rk.ReliefkitError) as caught:
            rk.load(f)
        return tuple(caught.value.diagnostics)
    alone = [reasons(f) for f in files]
    with ThreadPoolExecutor(len(files)) as pool:
        together = list(pool.map(reasons, files * 50))
    assert all(alone) and together == alone * 50  # each as it had alone


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGESIZE") // 1024


def test_no_leak_over_a_thousand_calls(tmp):
    photo = rk.resample(rk.load(BRICKS), 64, 64)
    rk.save_png(tmp / "p.png", photo)

    def cycle():
        n = rk.normalmap(rk.heightmap(rk.load(tmp / "p.png")), blur=3)
        rk.save_png(tmp / "n.png", rk.resample(n, 32, 32))
        with pytest.raises(rk.ReliefkitError):
            rk.load(BRICKS.parent / "NOTICE.md")
    for _ in range(100):
        cycle()
    before = rss_kib()
    for _ in range(1000):
        cycle()
    # A lost 64x64 image is 64 KiB: a leak in any step would add tens of MiB.
    assert rss_kib() - before < 2048


def test_calls_overlap_on_threads():
    # Held across a call, the GIL would let the second call start only once the first
    # ended, however busy the machine is; released, both start together.
    threads = rk.get_thread_count()
    rk.set_thread_count(1)  # one thread per call, so the two calls are what runs at once
    src = _images.InputImage(np.ascontiguousarray(np.tile(rk.load(BRICKS), (4, 4, 1))))
    call, ready = _native.require("calc_heightmap_from_photo_ex"), threading.Barrier(2)

    def one(_):
        ready.wait()
        start = time.perf_counter()
        _images.to_array(call(src.pointer, 7, 129, 0.5, 0, 1, 0, 0, 1, 1, 1, 3, 0, 0))
        return start, time.perf_counter()
    with ThreadPoolExecutor(2) as pool:
        (s1, e1), (s2, e2) = pool.map(one, range(2))
    rk.set_thread_count(threads)
    assert abs(s2 - s1) < 0.5 * min(e1 - s1, e2 - s2)
