"""reliefkit: relief textures (height maps and normal maps) from photographs, for NumPy.

Images are NumPy arrays of shape (H, W, 4), float32, channels red, green, blue,
alpha, row 0 at the top, values 0..1. Functions that take an image also accept
(H, W) grey, (H, W, 3) RGB and unsigned-integer pixels (scaled by the type's
largest value); a C-contiguous float32 (H, W, 4) array with 16-byte-aligned data
is read in place, anything else is converted once.

    import reliefkit as rk
    photo = rk.load("wall.jpg")
    rk.save_png("wall_normal.png", rk.normalmap(rk.heightmap(photo)))

Every default is the one of the ``reliefkit`` command. Calls release the GIL, so
a thread pool processes several images at once. A failed call raises
``ReliefkitError`` (a RuntimeError) whose message holds the library's diagnostics
for that call.
"""

from __future__ import annotations

import enum
import os
from typing import Optional, Tuple, Union

import numpy as np

from . import _diagnostics, _native
from ._diagnostics import ReliefkitError
from ._images import InputImage, to_array
from ._native import LibraryNotFoundError, library_path

__all__ = [
    "BlurKind", "HeightMode", "LibraryNotFoundError", "ReliefkitError", "get_thread_count",
    "heightmap", "library_path", "load", "make_maps", "make_tileable", "normalmap", "resample",
    "save_png", "set_thread_count", "shard_of",
]
__version__ = "0.1.0"

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class HeightMode(str, enum.Enum):
    """How colour becomes height (the command's --mode)."""
    RED = "red"
    GREEN = "green"
    BLUE = "blue"
    RED_GREEN = "red-green"
    RED_BLUE = "red-blue"
    GREEN_BLUE = "green-blue"
    AVERAGE = "average"
    LUMINANCE = "luminance"
    DELIT = "delit"  #: heights from the shading with light and colour taken out


class BlurKind(str, enum.Enum):
    """Blur kernels of the smoothing and of the normal blur."""
    GAUSSIAN = "gaussian"
    BOX = "box"
    TENT = "tent"


_MODE_NUMBERS = {m: i for i, m in enumerate(HeightMode)}  # DELIT is 8 (HM_MODE_DELIT)
_KIND_NUMBERS = {k: i for i, k in enumerate(BlurKind)}
_HM_AUTO_LEVELS, _HM_INVERT = 1, {"r": 2, "g": 4, "b": 8}
_HM_CLAMP, _HM_DETAIL_FILTER, _HM_SMOOTH = 16, 32, 128
_EDGE_CLAMP, _EDGE_WRAP = 0, 1
_MESSAGE_CAPACITY = 512
_PNG_GREY, _PNG_RGB = 1, 3

_native.require("init")()
_diagnostics.install()


# --------------------------------------------------------------------------- helpers

def _enum(cls, value, what: str):
    try:
        return cls(value.lower() if isinstance(value, str) else value)
    except ValueError:
        names = ", ".join(m.value for m in cls)
        raise ValueError(f"{what} must be one of {names}, not {value!r}") from None


def _number(value, low, high, what: str, integral: bool = False):
    if integral and (isinstance(value, bool) or int(value) != value):
        raise TypeError(f"{what} must be a whole number, not {value!r}")
    if not (low <= value <= high):
        raise ValueError(f"{what} must be from {low} to {high}, not {value!r}")
    return int(value) if integral else float(value)


def _utf16(path: PathLike) -> bytes:
    text = os.fsdecode(os.fspath(path))
    try:
        text.encode("utf-8")  # the library's file names are UTF-8
    except UnicodeEncodeError:
        raise ValueError(f"the path {text!r} is not valid UTF-8, and the library takes "
                         "only UTF-8 file names") from None
    return text.encode("utf-16-le") + b"\0\0"


def _call(name: str, headline: str, *args) -> int:
    """Runs an export that returns an image; ReliefkitError with the call's diagnostics
    when it returns none."""
    fn = _native.require(name)
    with _diagnostics.captured() as texts:
        img = fn(*args)
    if not img:
        raise ReliefkitError(headline, texts or ["the library made no image (out of memory?)"])
    return img


def _size_and_kind(value, what: str, largest: int) -> Tuple[int, int]:
    """(taps, kernel number) from None, a tap count, or (taps, kind)."""
    if value is None:
        return 0, 0
    size, kind = (value, BlurKind.GAUSSIAN) if np.isscalar(value) else value
    return (_number(size, 0, largest, f"{what} size", integral=True),
            _KIND_NUMBERS[_enum(BlurKind, kind, f"{what} kind")])


# --------------------------------------------------------------------------- files

def load(path: PathLike) -> np.ndarray:
    """Reads a PNG, JPEG, JPEG XR, DDS or TGA file into a new (H, W, 4) float32 array
    (values 0..1, alpha 1 where the file has none).

    Raises FileNotFoundError (or another OSError) when the file cannot be opened and
    ReliefkitError with the readers' reasons when no reader accepts it; ValueError for a
    path that is not valid UTF-8 (the library takes UTF-8 file names)."""
    # The readers' diagnostics do not tell a missing file from a broken one. Opened
    # without blocking, so that a FIFO cannot hold the call: the library refuses
    # whatever is not a regular file, with the reason.
    wide = _utf16(path)
    os.close(os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC))
    img = _call("load_image", f"cannot read {os.fsdecode(path)}:", wide)
    return to_array(img)


def save_png(path: PathLike, image, *, depth: int = 8, channels: str = "rgb") -> None:
    """Writes image as a PNG of ``depth`` bits per channel (8 or 16; alpha is dropped).

    ``channels`` picks the file's channels from the image's: three letters of r, g, b
    give an RGB file ("grb" swaps red and green, as the command's --channels); one
    letter gives a grey file of that channel. Values map 0..1 to the full range,
    saturating. An existing file survives a failed save.

    16-bit and grey files need the library's save_png_ex export; 8-bit RGB works with
    every version of the library."""
    depth = int(depth)
    if depth not in (8, 16):
        raise ValueError(f"depth must be 8 or 16, not {depth!r}")
    letters = channels.lower()
    if len(letters) not in (1, 3) or any(c not in "rgb" for c in letters):
        raise ValueError(f"channels must be one or three letters of r, g, b, not {channels!r}")
    selectors = ["rgb".index(c) for c in letters]
    # 8-bit RGB goes through the saver the command uses, so the files are the command's.
    classic = depth == 8 and len(selectors) == 3
    save_ex = None if classic else _native.optional("save_png_ex")
    if not classic and save_ex is None:
        raise NotImplementedError(
            f"{depth}-bit {'grey' if len(selectors) == 1 else 'RGB'} PNG needs the export "
            f"save_png_ex(), which the loaded reliefkit library ({library_path}) lacks")
    src = InputImage(image)
    message = np.zeros(_MESSAGE_CAPACITY, np.uint16)
    msg, wide = message.ctypes.data, _utf16(path)
    with _diagnostics.captured() as texts:
        if not classic:
            layout = _PNG_GREY if len(selectors) == 1 else _PNG_RGB
            r, g, b = (selectors * 3)[:3]
            save_ex(msg, _MESSAGE_CAPACITY, wide, src.pointer, depth, layout, r, g, b)
        else:
            _native.require("core_saveimage_nmap_png")(msg, _MESSAGE_CAPACITY, wide,
                                                       src.pointer, *selectors)
    if message[0]:
        reason = message[:np.argmin(message != 0)].tobytes().decode("utf-16-le", "replace")
        raise ReliefkitError(f"cannot write {os.fsdecode(path)}: {reason}", texts)


# --------------------------------------------------------------------------- generators

def heightmap(photo, *, mode: Union[str, HeightMode] = "luminance", auto_levels: bool = True,
              midpoint: float = 0.5, clamp: Optional[Tuple[float, float]] = None,
              detail: Optional[Tuple[int, float]] = (5, 0.05),
              smooth: Union[None, int, Tuple[int, Union[str, BlurKind]]] = (3, "gaussian"),
              invert: Union[bool, str] = "", weights: Tuple[float, float, float] = (1, 1, 1),
              seamless: bool = False) -> np.ndarray:
    """New grey height map (L, L, L, 1) of a photograph.

    mode        colour-to-height conversion: red, green, blue, red-green, red-blue,
                green-blue, average, luminance (the eye's weights, bright means high)
                or delit (needs a library with HM_MODE_DELIT).
    auto_levels move the darkest level down to 0 (the range is not stretched).
    midpoint    input level that becomes mid-grey, 0..1: below 0.5 raises the middle
                heights, above lowers them.
    clamp       None, or (low, high) within 0..1: heights are limited to that range.
    detail      (taps 0..99, threshold 0..0.5) of the edge-preserving smoothing, a
                Gaussian blur wherever the edge strength is below threshold (a height
                step of 1 between neighbours measures 0.25); None or taps < 3: off.
    smooth      final blur: None, taps 0..99, or (taps, "gaussian" | "box" | "tent");
                taps below 3 switch it off, an even count uses one less.
    invert      channels read as 1 - value: a string of r, g, b (the command's
                --invert-red/-green/-blue), True for all three; dark then means high.
    weights     three weights the generator only tests: all zero give a black map.
    seamless    read across the opposite edge, for textures that tile (needs a
                library with the wrap edge mode)."""
    mode_number = _MODE_NUMBERS[_enum(HeightMode, mode, "mode")]
    inverted = "rgb" if invert is True else (invert or "").lower()
    if any(c not in "rgb" for c in inverted):
        raise ValueError(f"invert must be True, False or letters of r, g, b, not {invert!r}")
    flags = _HM_AUTO_LEVELS if auto_levels else 0
    for c in set(inverted):
        flags |= _HM_INVERT[c]
    low, high = 0.0, 1.0
    if clamp is not None:
        low, high = (_number(v, 0.0, 1.0, "clamp limits") for v in clamp)
        flags |= _HM_CLAMP
    detail_size, threshold = detail if detail is not None else (0, 0.0)
    detail_size = _number(detail_size, 0, 99, "detail size", integral=True)
    threshold = _number(threshold, 0.0, 0.5, "detail threshold")
    if detail_size > 0:
        flags |= _HM_DETAIL_FILTER
    smooth_size, smooth_kind = _size_and_kind(smooth, "smooth", 99)
    if smooth_size > 0:
        flags |= _HM_SMOOTH
    w1, w2, w3 = (float(v) for v in weights)
    edge = _EDGE_WRAP if seamless else _EDGE_CLAMP
    _needs_capability(mode_number == _MODE_NUMBERS[HeightMode.DELIT], "delit_heights",
                      "the de-lit height mode (HM_MODE_DELIT)")
    _needs_capability(seamless, "wrap_heights", "seamless height maps (RK_EDGE_WRAP)")
    src = InputImage(photo, "photo")
    img = _call("calc_heightmap_from_photo_ex", "cannot make the height map:", src.pointer,
                mode_number, flags, float(_number(midpoint, 0.0, 1.0, "midpoint")), low, high,
                detail_size, threshold, w1, w2, w3, smooth_size, smooth_kind, edge)
    return to_array(img)


def normalmap(height, *, strength: int = 2, center_weight: int = 1, invert_x: bool = False,
              invert_y: bool = False,
              blur: Union[None, int, Tuple[int, Union[str, BlurKind]]] = None,
              seamless: bool = False) -> np.ndarray:
    """New tangent-space normal map of the heights in the red channel of ``height``.

    strength      1..10: heights are multiplied by it before the slopes are measured.
    center_weight 0..100: weight (2C + 16) / 9 of the middle row and column of the
                  3x3 slope operator; 1 gives the 1-2-1 Sobel weights.
    invert_x      flip red, for renderers whose x axis points left.
    invert_y      flip green: the map's green points down the picture (DirectX
                  style); flip it for renderers that expect green up (OpenGL style).
    blur          blur of the normals, renormalised afterwards: None, taps 0..254, or
                  (taps, "gaussian" | "box" | "tent"); below 3 taps: no blur.
    seamless      read across the opposite edge (needs the wrap edge mode).

    Encoding: red and green hold 0.5 + 0.5 * n; blue holds n_z itself without a blur,
    and 0.5 + 0.5 * n_z once blurred and renormalised. The outermost rows and columns
    are the flat normal (0.5, 0.5, 1) when not seamless. Alpha is 1."""
    strength = _number(strength, 1, 10, "strength", integral=True)
    center = _number(center_weight, 0, 100, "center_weight", integral=True)
    blur_size, blur_kind = _size_and_kind(blur, "blur", 254)
    _needs_capability(seamless, "wrap_normals", "seamless normal maps (RK_EDGE_WRAP)")
    src = InputImage(height, "height")
    img = _call("calc_normalmap_from_heightmap_ex", "cannot make the normal map:", src.pointer,
                int(bool(invert_x)), int(bool(invert_y)), strength, center, blur_size,
                blur_kind, _EDGE_WRAP if seamless else _EDGE_CLAMP)
    return to_array(img)


def resample(image, width: int, height: int) -> np.ndarray:
    """New width x height copy (1..65535 each), resampled bilinearly, corners onto corners."""
    w = _number(width, 1, 65535, "width", integral=True)
    h = _number(height, 1, 65535, "height", integral=True)
    src = InputImage(image)
    return to_array(_call("imgbuf_resample", f"cannot resample to {w}x{h}:", src.pointer, w, h))


def make_tileable(image, *, width_fraction: float = 0.1) -> np.ndarray:
    """New image whose edges wrap seamlessly: a band of width_fraction (0 < f <= 0.5) of
    the size along each edge is blended with the opposite side. Needs the library's
    make_tileable export."""
    _native.require("make_tileable")
    fraction = float(width_fraction)
    if not 0.0 < fraction <= 0.5:
        raise ValueError(f"width_fraction must be above 0 and at most 0.5, not {width_fraction!r}")
    src = InputImage(image)
    return to_array(_call("make_tileable", "cannot make the image tileable:", src.pointer, fraction))


# --------------------------------------------------------------------------- threads

def set_thread_count(n: int = 0) -> None:
    """Threads each library call may use; 0 means every processor the process may use."""
    _native.require("set_thread_count")(_number(n, 0, 2**32 - 1, "thread count", integral=True))


def get_thread_count() -> int:
    """The thread count now in force (at least 1)."""
    return int(_native.require("get_thread_count")())


# --------------------------------------------------------------------------- capabilities

def _probe(mode: int, edge: int, normal: bool) -> bool:
    # The generators answer an unknown mode or edge mode with no image, so a call on a
    # tiny image tells once whether the loaded library has the feature.
    src = InputImage(np.zeros((4, 4, 4), np.float32))
    if normal:
        img = _native.require("calc_normalmap_from_heightmap_ex")(src.pointer, 0, 0, 2, 1, 0, 0,
                                                                  edge)
    else:
        img = _native.require("calc_heightmap_from_photo_ex")(src.pointer, mode, 0, 0.5, 0.0, 1.0,
                                                              0, 0.0, 1.0, 1.0, 1.0, 0, 0, edge)
    if img:
        _native.require("delete_imgbuf")(img)
    return bool(img)


_capabilities: dict = {}


def _capability(name: str) -> bool:
    if name not in _capabilities:
        _capabilities[name] = {
            "delit_heights": lambda: _probe(_MODE_NUMBERS[HeightMode.DELIT], _EDGE_CLAMP, False),
            "wrap_heights": lambda: _probe(7, _EDGE_WRAP, False),
            "wrap_normals": lambda: _probe(0, _EDGE_WRAP, True),
        }[name]()
    return _capabilities[name]


def _needs_capability(wanted: bool, name: str, what: str) -> None:
    if wanted and not _capability(name):
        raise NotImplementedError(f"the loaded reliefkit library ({library_path}) does not "
                                  f"support {what} yet; it needs a newer build of the library")


from ._farm import make_maps, shard_of  # noqa: E402 - builds on the functions above
