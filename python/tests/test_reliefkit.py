import ctypes
import io
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import reliefkit as rk
from reliefkit import _images, _material, _native

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
# the same files, which pins every default and every option's translation.
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


def test_lends_aligned_rows_in_place_and_converts_the_rest():
    photo = rk.load(BRICKS)
    pixels, stride = _native.require("rk_image_pixels"), _native.require("rk_image_stride")
    crop = photo[100:300, 4:260]  # rows 16-byte aligned, a whole photo row apart
    for a, lent in ((photo, True), (crop, True), (photo[::2, ::2], False),
                    (unaligned_copy(photo), False), (photo[:, :, :3], False),
                    (photo.astype(np.float64), False)):
        image = _images.InputImage(a)
        assert image.borrowed == lent and (pixels(image.pointer) == a.ctypes.data) == lent
        assert stride(image.pointer) == (a.strides[0] if lent else 16 * a.shape[1])
    # Lent or converted, the library reads the same pixels.
    assert np.array_equal(rk.heightmap(crop), rk.heightmap(np.ascontiguousarray(crop)))
    assert np.array_equal(rk.heightmap(unaligned_copy(photo)), rk.heightmap(photo))
    assert np.array_equal(rk.heightmap(photo[:, :, 0]), rk.heightmap(photo))


def test_every_source_form_loads_the_same_pixels(tmp):
    data = BRICKS.read_bytes()
    (tmp / os.fsdecode(b"\xff")).write_bytes(data)  # a name that is not UTF-8
    doubled = np.repeat(np.frombuffer(data, np.uint8), 2)
    with open(BRICKS, "rb") as opened:
        forms = [str(BRICKS), BRICKS, tmp / os.fsdecode(b"\xff"), data, bytearray(data),
                 memoryview(data), memoryview(doubled[::2]), io.BytesIO(data), opened]
        loaded = [rk.load(form) for form in forms]
    assert all(np.array_equal(a, loaded[0]) for a in loaded)


class Trickle(io.RawIOBase):
    """A raw file that takes at most 1000 bytes a write, or refuses them all; answer: the
    count its first write returns instead of the bytes it took."""

    def __init__(self, refuse=False, answer=None):
        self.taken, self.refuse, self.answer = bytearray(), refuse, answer

    def writable(self):
        return True

    def write(self, block):
        if self.refuse:
            raise OSError(28, "No space left on device")
        self.taken += bytes(block[:1000])
        answer, self.answer = self.answer, None
        return min(len(block), 1000) if answer is None else answer


def test_save_png_to_a_file_object_writes_the_files_bytes(tmp):
    h = rk.heightmap(rk.load(BRICKS))
    for settings in ({}, {"depth": 16, "channels": "r"}):
        rk.save_png(tmp / "f.png", h, **settings)
        buffer, trickle = io.BytesIO(), Trickle()
        with open(tmp / "o.png", "wb") as opened:
            for target in (buffer, trickle, opened):
                rk.save_png(target, h, **settings)
        assert ((tmp / "f.png").read_bytes() == (tmp / "o.png").read_bytes()
                == buffer.getvalue() == trickle.taken)
    with pytest.raises(OSError, match="No space left"):  # the file object's own exception
        rk.save_png(Trickle(refuse=True), h)
    for answer in (-1, 10**6):  # a byte sent twice, or bytes never sent
        with pytest.raises(OSError, match=f"returned {answer} for "):
            rk.save_png(Trickle(answer=answer), h)
    with pytest.raises(BlockingIOError, match="took no bytes"):  # not asked again for ever
        rk.save_png(Trickle(answer=0), h)


# __version__ is the loaded library's, which the package is released with: the
# numbers of rk_version, pyproject's version and the command's --version agree.
def test_version_is_the_librarys():
    v = _native.version
    assert rk.__version__ == f"{v >> 16}.{v >> 8 & 255}.{v & 255}"
    assert f'\nversion = "{rk.__version__}"\n' in (REPO / "python" / "pyproject.toml").read_text()
    said = subprocess.run([command(), "--version"], capture_output=True, text=True, check=True)
    assert said.stdout.split() == ["reliefkit", rk.__version__]


# A library named in RELIEFKIT_LIBRARY is the only one tried: no other copy stands in.
@pytest.mark.parametrize("named", ["missing.so", BRICKS])
def test_a_named_library_that_fails_is_not_replaced(tmp, named):
    env = dict(os.environ, RELIEFKIT_LIBRARY=str(tmp / named))
    said = subprocess.run([sys.executable, "-c", "import reliefkit"], env=env, text=True,
                          capture_output=True)
    assert f"LibraryNotFoundError: cannot load the reliefkit shared library named in " \
           f"RELIEFKIT_LIBRARY:\n  RELIEFKIT_LIBRARY: {tmp / named} (" in said.stderr


def test_results_own_their_memory():
    h = rk.heightmap(rk.load(BRICKS))
    assert isinstance(h.base, _images._ImageOwner) and h.flags.writeable
    view = h[10:20]
    del h  # the view keeps the image alive
    assert np.all(view[..., 3] == 1.0)


# The one pixel that all-zero weights check must outlive the call reading it.
def test_weights_all_zero_keep_their_pixel_alive(monkeypatch):
    ended, make = [], rk._new_image  # each image's end noted, its memory kept
    monkeypatch.setattr(_images.InputImage, "__del__", lambda self: ended.append(self.pointer))
    monkeypatch.setattr(rk, "_new_image", lambda name, what, image, *rest: pytest.fail(
        "a freed image lent") if image in ended else make(name, what, image, *rest))
    assert not rk.heightmap(np.ones((2, 2)), weights=(0, 0, 0))[..., :3].any()


@pytest.mark.parametrize("call, error, words", [
    (lambda d: rk.save_png(d / "no" / "x.png", np.zeros((2, 2, 4))), rk.WriteError,
     "cannot write"),
    (lambda d: rk.load(42), TypeError, "a path, the image's bytes or a binary file object"),
    (lambda d: rk.heightmap(np.zeros((2, 2, 4)), mode="bright"), ValueError, "luminance"),
    (lambda d: rk.heightmap(np.zeros((2, 2, 4)), midpoint=2), ValueError, "midpoint"),
    (lambda d: rk.heightmap(np.zeros((2, 2, 5))), ValueError, "(H, W, 4)"),
    (lambda d: rk.normalmap(np.zeros((2, 2)), strength=11), ValueError, "strength"),
    (lambda d: rk.normalmap(np.zeros((2, 2)), strength=np.nan), TypeError, "strength must be"),
    (lambda d: rk.heightmap(np.zeros((2, 2)), invert=1), ValueError, "invert must be"),
    (lambda d: rk.heightmap(np.zeros((2, 2)), light=1e40), ValueError, "azimuth is out of range"),
    # NaN means "not given" to the library: a computed NaN must not become an estimate.
    (lambda d: rk.heightmap(np.zeros((2, 2)), light=(90, np.nan)), ValueError, "elevation is not a"),
    (lambda d: rk.albedo(np.zeros((2, 2)), light_azimuth=np.nan), ValueError, "azimuth is not a"),
    (lambda d: rk.photometric_stereo([np.zeros((2, 2))] * 3, outlier=1e40), ValueError, "outlier is out"),
    (lambda d: rk.save_png(d / "x.png", np.zeros((2, 2)), channels=None), ValueError, "channels must"),
    (lambda d: rk.heightmap(np.zeros((2, 2)), weights=(0, 0, 0), light=400), rk.ArgumentError,
     "light_azimuth 400"),
    (lambda d: rk.normalmap(np.zeros((2, 2)), blur=(5, "disc")), ValueError, "blur kind"),
    (lambda d: rk.resample(np.zeros((2, 2)), 0, 4), ValueError, "width"),
    (lambda d: rk.save_png(d / "x.png", np.zeros((2, 2)), depth=12), ValueError, "depth"),
    (lambda d: rk.save_png(d / "x.png", np.zeros((2, 2)), depth=8.9), ValueError, "depth"),
    (lambda d: rk.load(f"{BRICKS}\0.jpg"), ValueError, "embedded null byte"),
    (lambda d: rk.ambient_occlusion(np.zeros((8, 8)), directions=True), TypeError, "directions"),
    (lambda d: rk.curvature(np.zeros((8, 8)), scale=9.0), TypeError, "scale must be a whole"),
    (lambda d: rk.ambient_occlusion(np.zeros((8, 8)), depth="16"), TypeError, "depth must be"),
    (lambda d: rk.save_png(d / "x.png\0.jpg", np.zeros((2, 2))), ValueError, "null byte"),
    # 2**32 + 16 rows over 16 real ones: ctypes alone would hand the library 16.
    (lambda d: rk.normalmap(np.lib.stride_tricks.as_strided(_images._aligned_copy(
        np.zeros((16, 1, 4), np.float32)), (2**32 + 16, 1, 4), (16, 16, 4))), rk.LimitError,
     "1 x 4294967312 pixels is more than"),
    # Before any conversion (5 GiB of float32 here), which would refuse int8 first.
    (lambda d: rk.heightmap(np.broadcast_to(np.int8(0), (16385, 16385))), rk.LimitError,
     "16385 x 16385 pixels is more than RK_MAX_IMAGE_PIXELS (268435455)"),
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


TGA_TOO_LARGE = bytes([0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 255, 255, 255, 24, 0])
SHORT = "DDS image loader: File too small.\nTGA image loader: File too small."


def crc_broken(path):
    data = bytearray(path.read_bytes())
    data[29] ^= 1  # in the header's checksum
    return bytes(data)


# Each status its class, with the library's whole message (every reader's reason on a
# line of its own) and a headline naming the source.
@pytest.mark.parametrize("source, error, status, message", [
    (lambda d: b"abc", rk.FormatError, 4,
     "jpeglib error:\nNot a JPEG file: starts with 0x61 0x62\n" + SHORT),
    (lambda d: crc_broken(BRICKS), rk.DamagedFileError, 5, "pnglib error: IHDR: CRC error"),
    (lambda d: TGA_TOO_LARGE, rk.LimitError, 6, "jpeglib error:\nNot a JPEG file: starts with "
     "0x00 0x00\nDDS image loader: File too small.\nTGA image loader: Image data too large."),
    (lambda d: REPO / "tests" / "data" / "jpeg" / "cmyk_20x10.jpg", rk.UnsupportedError, 7,
     "JPEG image loader: Colour space CMYK not supported."),
    (lambda d: d / "missing.png", rk.FileError, 3,
     "rk_load_file: {d}/missing.png: No such file or directory"),
    (lambda d: fifo(d / "pipe.png"), rk.FileError, 3,
     "rk_load_file: {d}/pipe.png: not a regular file (a FIFO)"),
])
def test_each_status_raises_its_class_with_the_whole_message(tmp, source, error, status, message):
    with pytest.raises(error) as caught:
        rk.load(source(tmp))
    e, lines = caught.value, str(caught.value).split("\n  ")
    assert isinstance(e, rk.Error) and isinstance(e, OSError) and e.status == status
    assert e.message == message.format(d=tmp) and lines[1:] == e.message.split("\n")
    assert lines[0].startswith("cannot read ") and lines[0].endswith(":")


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
    call, ready = _native.require("rk_height_map"), threading.Barrier(2)

    def one(_):
        ready.wait()
        out = ctypes.c_void_p()
        start = time.perf_counter()
        _native.check(call(src.pointer, None, ctypes.byref(out)), "height map:")
        _images.to_array(out)
        return start, time.perf_counter()
    with ThreadPoolExecutor(2) as pool:
        (s1, e1), (s2, e2) = pool.map(one, range(2))
    rk.set_thread_count(threads)
    assert abs(s2 - s1) < 0.5 * min(e1 - s1, e2 - s2)


# Four renders of a slope rising to the right (dh/dx = 0.5) under lights at 45
# degrees with an ambient share of 0.2: the solve gives the normal back, the heights
# of its normal map rise to the right, a missing light is found, and a light given
# to heightmap() is the command's --light.
def test_the_light_several_photographs_and_heights_from_normals(tmp):
    n = np.array([-0.4472136, 0.0, 0.8944272])
    azimuths = [0, 90, 180, 270]
    photos = [np.full((12, 16), 0.7 * (0.2 + max(0.0, n @ [np.cos(np.radians(a)) * 0.7071068,
                                                             -np.sin(np.radians(a)) * 0.7071068,
                                                             0.7071068])), np.float32)
              for a in azimuths]
    got = rk.photometric_stereo(photos, azimuths, ambient=0.2)
    assert np.allclose(got.normal[6, 8, :3], [0.5 + 0.5 * n[0], 0.5, n[2]], atol=1e-3)
    assert [light.azimuth for light in got.lights] == azimuths
    heights, span = rk.height_from_normals(got.normal, blue="z")
    assert heights[6, 1, 0] < heights[6, 14, 0] and 6 < span < 9
    with pytest.raises(rk.ArgumentError, match="give every light's azimuth"):
        rk.photometric_stereo(photos, [0, 90, None, 270], ambient=0.2)  # a plane shows none
    assert rk.estimate_light(photos[0]).directional == 0  # level: no relief to light
    assert repr(got.lights[0]._replace(azimuth=float(np.float32(123.8)), elevation=None)) == \
        "Light(azimuth=123.8, elevation=None, directional=1.0)"  # float32's own digits
    subprocess.run([command(), "-q", "-o", str(tmp), "--light", "135:30", str(BRICKS)],
                   check=True)
    rk.save_png(tmp / "h.png", rk.heightmap(rk.load(BRICKS), light=(135, 30)), channels="r")
    assert (tmp / "h.png").read_bytes() == (tmp / "bricks_height.png").read_bytes()
    with pytest.raises(rk.ReliefkitError, match="light_azimuth 400"):
        rk.heightmap(photos[0], light=400)


# The material maps: the same files as the command's (pinning every default and
# translation), and a value out of range refused with the library's message.
@pytest.mark.parametrize("args, kwargs", [
    ([], {}),
    (["--seamless", "--ao-depth", "30", "--ao-radius", "9", "--ao-directions", "5",
      "--curvature-scale", "4", "--curvature-strength", "7", "--roughness-contrast", "3",
      "--roughness-bias", "0.2"],
     {"ao": {"depth": 30, "radius": 9, "directions": 5}, "curvature": {"scale": 4, "strength": 7},
      "roughness": {"contrast": 3, "bias": 0.2}}),
])
def test_material_maps_as_the_command_makes_them(tmp, args, kwargs):
    subprocess.run([command(), "-q", "-o", str(tmp), "--depth", "16", "--maps",
                    "height,ao,curvature,roughness,albedo", *args, str(BRICKS)], check=True)
    seamless = {"seamless": "--seamless" in args}
    photo = rk.load(BRICKS)
    h = rk.heightmap(photo, **seamless)
    maps = {"ao": rk.ambient_occlusion(h, **seamless, **kwargs.get("ao", {})),
            "curvature": rk.curvature(h, **seamless, **kwargs.get("curvature", {})),
            "roughness": rk.roughness(photo, **seamless, **kwargs.get("roughness", {})),
            "albedo": rk.albedo(photo, **seamless)}
    for name, image in maps.items():
        rk.save_png(tmp / "m.png", image, depth=16, channels="rgb" if name == "albedo" else "r")
        assert (tmp / "m.png").read_bytes() == (tmp / f"bricks_{name}.png").read_bytes(), name
    with pytest.raises(ValueError, match="rk_ao_map: directions 3 is not 4 to 256"):
        rk.ambient_occlusion(h, directions=3)
    for make, field, value in ((rk.ambient_occlusion, "directions", 2**32 + 16),  # not 16
                               (rk.curvature, "scale", 2**32 + 16), (rk.roughness, "bias", 1e300)):
        with pytest.raises(ValueError, match=f"{field} is out of range"):
            make(h, **{field: value})


def test_albedo_and_heights_on_a_library_from_before_the_scale_and_the_light(monkeypatch):
    export = _material._export  # a 0.2.1 library refuses the struct's size: RK_ERROR_VERSION
    older = {"rk_albedo_params_init": lambda fn: lambda p, size: 11 if size > 16 else fn(p, size)}
    monkeypatch.setattr(_material, "_export", lambda name, *types: older.get(
        name, lambda fn: fn)(export(name, *types)))
    photo = rk.load(BRICKS)
    assert rk.albedo(photo, scale=0).shape == rk.albedo(photo).shape
    with pytest.raises(NotImplementedError, match="has no rk_albedo_params.scale"):
        rk.albedo(photo, scale=8)
    heights, init = rk.heightmap(photo), _native.require("rk_height_params_init")
    monkeypatch.setitem(_native._functions, "rk_height_params_init",  # 0.2.0's, without light
                        lambda p, size: 11 if size > 60 else init(p, size))
    assert np.array_equal(rk.heightmap(photo), heights)
    with pytest.raises(NotImplementedError, match="has no rk_height_params.light_azimuth"):
        rk.heightmap(photo, light=90)
