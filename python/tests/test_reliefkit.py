import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
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
    for c in (os.environ.get("RELIEFKIT_CLI"), shutil.which("reliefkit"),
              REPO / "build/release/cli/reliefkit", REPO / "build/rel/cli/reliefkit"):
        if c and Path(c).is_file():
            return str(c)
    pytest.skip("the reliefkit command is not built (set RELIEFKIT_CLI)")


# The command's options and the same settings through the binding: both must write
# the same files, which pins every default and every option's translation.
@pytest.mark.parametrize("args, height, normal, save", [
    ([], {}, {}, {}),
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
    rk.save_png(tmp / "h.png", h)
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
    assert h.shape == (512, 512, 4) and h.dtype == np.float32 and h.flags.writeable
    assert isinstance(h.base, _images._ImageOwner)
    view = h[10:20]
    del h  # the view keeps the image alive
    assert np.all(view[..., 3] == 1.0)


@pytest.mark.parametrize("call, error, words", [
    (lambda d: rk.load(d / "missing.png"), FileNotFoundError, "missing.png"),
    (lambda d: rk.load(write(d / "x.png", b"\x89PNG\r\n\x1a\nbroken")), rk.ReliefkitError,
     "x.png:\n  "),
    (lambda d: rk.save_png(d / "no" / "x.png", np.zeros((2, 2, 4))), rk.ReliefkitError,
     "cannot write"),
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


def write(path, data):
    path.write_bytes(data)
    return path


def test_diagnostics_stay_with_their_thread(tmp):
    files = [write(tmp / f"{i}.dds", b"DDS " + bytes([i]) * 200) for i in range(2)]
    files.append(write(tmp / "2.png", b"\x89PNG\r\n\x1a\n" + b"\0" * 64))
    alone = {}
    for f in files:
        with pytest.raises(rk.ReliefkitError) as e:
            rk.load(f)
        alone[f] = e.value.diagnostics
    together = {}

    def worker(f):
        for _ in range(50):
            try:
                rk.load(f)
            except rk.ReliefkitError as e:
                together.setdefault(f, set()).add(tuple(e.diagnostics))
    threads = [threading.Thread(target=worker, args=(f,)) for f in files]
    [t.start() for t in threads]
    [t.join() for t in threads]
    assert together == {f: {tuple(alone[f])} for f in files}


@pytest.mark.parametrize("name, call", [
    ("make_tileable", lambda: rk.make_tileable(np.zeros((4, 4)))),
    ("set_thread_count", lambda: rk.set_thread_count(1)),
    ("save_png_ex", lambda: rk.save_png("x.png", np.zeros((4, 4)), depth=16)),
])
def test_missing_exports_are_named(monkeypatch, name, call):
    monkeypatch.setitem(_native._functions, name, None)
    with pytest.raises(NotImplementedError, match=name):
        call()


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


def timed_heightmaps(count, photo):
    """Wall time of count height maps on count threads, and each library call's span."""
    src, spans = _images.InputImage(photo), []
    call = _native.require("calc_heightmap_from_photo_ex")
    ready = threading.Barrier(count)

    def one():
        ready.wait()
        start = time.perf_counter()
        _images.to_array(call(src.pointer, 7, 129, 0.5, 0, 1, 0, 0, 1, 1, 1, 3, 0, 0))
        spans.append((start, time.perf_counter()))
    threads = [threading.Thread(target=one) for _ in range(count)]
    start = time.perf_counter()
    [t.start() for t in threads]
    [t.join() for t in threads]
    return time.perf_counter() - start, spans


@pytest.fixture(scope="module")
def big_photo():
    threads = _native.optional("set_thread_count") and rk.get_thread_count()
    if threads:
        rk.set_thread_count(1)  # one thread per call, so the pool is what runs in parallel
    yield np.ascontiguousarray(np.tile(rk.load(BRICKS), (4, 4, 1)))
    if threads:
        rk.set_thread_count(threads)


def test_calls_overlap_on_threads(big_photo):
    # Held across a call, the GIL would let the second call start only once the first
    # ended, however busy the machine is; released, both start together.
    _, [(s1, e1), (s2, e2)] = timed_heightmaps(2, big_photo)
    assert abs(s2 - s1) < 0.5 * min(e1 - s1, e2 - s2)


def idle_cores(seconds=0.5):
    def sample():
        with open("/proc/stat") as f:
            ticks = [int(v) for v in f.readline().split()[1:]]
        return ticks[3] + ticks[4], sum(ticks)
    idle0, total0 = sample()
    time.sleep(seconds)
    idle1, total1 = sample()
    return (idle1 - idle0) / max(total1 - total0, 1) * os.cpu_count()


def test_two_threads_take_clearly_less_than_twice_one(big_photo):
    idle = idle_cores()
    if idle < 1.8:
        pytest.skip(f"the machine is busy ({idle:.1f} of {os.cpu_count()} cores idle)")
    one = min(timed_heightmaps(1, big_photo)[0] for _ in range(3))
    two = min(timed_heightmaps(2, big_photo)[0] for _ in range(3))
    assert two < 1.6 * one, f"one image {one:.3f} s, two on two threads {two:.3f} s"


@pytest.mark.skipif(not _native.optional("save_png_ex"), reason="no save_png_ex() yet")
def test_sixteen_bit_grey_round_trip(tmp):
    ramp = np.linspace(0, 1, 4096, dtype=np.float32).reshape(64, 64)
    rk.save_png(tmp / "g.png", ramp, depth=16, channels="r")
    back = rk.load(tmp / "g.png")
    assert np.array_equal(back[..., 0], np.round(ramp * 65535) / np.float32(65535))


@pytest.mark.skipif(not rk._capability("wrap_normals"), reason="no wrap edge mode yet")
def test_seamless_maps_move_with_the_texture():
    h = rk.heightmap(rk.resample(rk.load(BRICKS), 96, 64), detail=None)
    rolled = np.ascontiguousarray(np.roll(h, (17, 29), axis=(0, 1)))
    assert np.array_equal(np.roll(rk.normalmap(h, seamless=True), (17, 29), axis=(0, 1)),
                          rk.normalmap(rolled, seamless=True))


def test_import_error_says_where_it_looked(tmp):
    shutil.copytree(Path(rk.__file__).parent, tmp / "reliefkit",
                    ignore=shutil.ignore_patterns("_native"))
    env = dict(os.environ, RELIEFKIT_LIBRARY=str(tmp / "nowhere.so"), PYTHONPATH=str(tmp))
    out = subprocess.run([sys.executable, "-c", "import reliefkit"], cwd=tmp, env=env,
                         capture_output=True, text=True)
    if out.returncode == 0:
        pytest.skip("a system-wide reliefkit library was found")
    assert "RELIEFKIT_LIBRARY: " + str(tmp / "nowhere.so") in out.stderr
    assert "the package's own copy" in out.stderr
