"""reliefkit: relief textures (height maps and normal maps) from photographs, for NumPy.

Images are NumPy arrays of shape (H, W, 4), float32, channels red, green, blue,
alpha, row 0 at the top, values 0..1. Functions that take an image also accept
(H, W) grey, (H, W, 3) RGB and unsigned-integer pixels (scaled by the type's
largest value); float32 (H, W, 4) pixels with 16-byte-aligned rows (a C-contiguous
array, or a crop of one) are read in place, anything else is converted once.

    import reliefkit as rk
    photo = rk.load("wall.jpg")          # or bytes, or an open binary file
    rk.save_png("wall_normal.png", rk.normalmap(rk.heightmap(photo)))

Every default is the one of the ``reliefkit`` command. Calls release the GIL, so
a thread pool processes several images at once. A failed library call raises a
subclass of ``reliefkit.Error`` (an OSError) for its status (``FormatError``,
``DamagedFileError``, ``LimitError``, ...), carrying ``.status`` and the library's
whole message.
"""

from __future__ import annotations

import ctypes
import enum
import os
from typing import BinaryIO, Optional, Tuple, Union

import numpy as np

from . import _native, _surface
from ._errors import (AbortedError, ArgumentError, DamagedFileError, Error, FileError,
                      FormatError, HelperError, InternalError, LimitError, OutOfMemoryError,
                      UnsupportedError, VersionError, WriteError)
from ._images import InputImage, to_array
from ._material import albedo, ambient_occlusion, curvature, roughness
from ._native import LibraryNotFoundError, library_path
from ._surface import Light, PhotometricResult

__all__ = [
    "AbortedError", "ArgumentError", "BlurKind", "DamagedFileError", "Error", "FileError",
    "FormatError", "HeightMode", "HelperError", "InternalError", "LibraryNotFoundError",
    "LimitError", "Light", "OutOfMemoryError", "PhotometricResult", "ReliefkitError",
    "UnsupportedError", "VersionError", "WriteError", "albedo", "ambient_occlusion", "curvature",
    "estimate_light", "get_thread_count", "height_from_normals", "heightmap", "library_path",
    "load", "make_maps", "make_tileable", "normalmap", "photometric_stereo", "resample",
    "roughness", "save_png", "set_thread_count", "shard_of",
]
__version__ = _native.version_string  # the loaded library's (rk_version_string)

ReliefkitError = Error  # the name of the package's one error class before the subclasses

PathLike = Union[str, "os.PathLike[str]", "os.PathLike[bytes]"]
Source = Union[PathLike, bytes, bytearray, memoryview, BinaryIO]


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
_EDGE_CLAMP, _EDGE_WRAP = 0, 1
_PNG_GREY, _PNG_RGB = 1, 3
_FLOAT_EPSILON = float(np.finfo(np.float32).eps)  # the generator's test of its weights

_native.check(_native.require("rk_init")(), "cannot start the library:")


# --------------------------------------------------------------------------- helpers

def _enum(cls, value, what: str):
    try:
        return cls(value.lower() if isinstance(value, str) else value)
    except ValueError:
        names = ", ".join(m.value for m in cls)
        raise ValueError(f"{what} must be one of {names}, not {value!r}") from None


def _is_whole(value) -> bool:
    try:
        return int(value) == value
    except (TypeError, ValueError, OverflowError):  # int() of a text, NaN or infinity
        return False


def _number(value, low, high, what: str, integral: bool = False):
    if integral and (isinstance(value, bool) or not _is_whole(value)):
        raise TypeError(f"{what} must be a whole number, not {value!r}")
    if not (low <= value <= high):
        raise ValueError(f"{what} must be from {low} to {high}, not {value!r}")
    return int(value) if integral else float(value)


def _new_image(name: str, headline: str, *args) -> np.ndarray:
    """Runs an rk_ export that hands back a new image, as an array."""
    out = ctypes.c_void_p()
    _native.check(_native.require(name)(*args, ctypes.byref(out)), headline)
    return to_array(out)


def _three(values, what: str):
    values = tuple(float(v) for v in values)
    if len(values) != 3:
        raise ValueError(f"{what} must be three numbers, not {len(values)}")
    return values


def _is_path(value) -> bool:
    return isinstance(value, (str, os.PathLike))


def _c_path(value) -> bytes:
    """The path as the library is handed it: a NUL would end it early there, and another
    file would be read or written, so it is refused as Python's open() refuses it."""
    path = os.fsencode(os.fspath(value))
    if b"\0" in path:
        raise ValueError(f"embedded null byte in the path {value!r}")
    return path


def _size_and_kind(value, what: str, largest: int) -> Tuple[int, int]:
    """(taps, kernel number) from None, a tap count, or (taps, kind)."""
    if value is None:
        return 0, 0
    size, kind = (value, BlurKind.GAUSSIAN) if np.isscalar(value) else value
    return (_number(size, 0, largest, f"{what} size", integral=True),
            _KIND_NUMBERS[_enum(BlurKind, kind, f"{what} kind")])


# --------------------------------------------------------------------------- files

_NO_BYTES = ctypes.create_string_buffer(1)  # where rk_load_memory reads 0 bytes


def load(source: Source) -> np.ndarray:
    """Reads a PNG, JPEG, JPEG XR, DDS or TGA image into a new (H, W, 4) float32 array
    (values 0..1, alpha 1 where the image has none). Every format is told by its
    content, whatever a file is named. Float DDS layouts (R32F, G32R32F,
    A32B32G32R32F) load as stored, not kept to 0..1: negative, above 1, infinite and
    NaN values come through. A JPEG's EXIF orientation is not applied: the pixels
    come in their stored order, so a phone's portrait photograph stored sideways
    loads turned.

    source is a path (str or os.PathLike; handed to the system as it is), the image
    file's bytes (bytes, bytearray, memoryview or any buffer), or a binary file object
    (read to its end).

    Raises a reliefkit.Error subclass: FileError when the file cannot be opened or
    read (missing, not permitted, not a regular file: a FIFO is refused without
    waiting), FormatError when no reader takes the data, DamagedFileError,
    UnsupportedError, LimitError, HelperError (JPEG XR); its message holds every
    reader's reason."""
    out = ctypes.c_void_p()
    if _is_path(source):
        path = _c_path(source)
        status = _native.require("rk_load_file")(path, ctypes.byref(out))
        _native.check(status, f"cannot read {os.fsdecode(path)}:")
        return to_array(out)
    what = "the image data"
    if hasattr(source, "read"):
        what = str(getattr(source, "name", "the file object"))
        source = source.read()
        if not isinstance(source, (bytes, bytearray)):
            raise TypeError(f"load: {what} gave {type(source).__name__}, not bytes: open it "
                            "in binary mode")
    try:
        data = np.frombuffer(source, np.uint8)  # no copy of a contiguous buffer
    except (BufferError, TypeError, ValueError):
        try:
            data = np.frombuffer(memoryview(source).tobytes(), np.uint8)  # non-contiguous
        except TypeError:
            raise TypeError("load takes a path, the image's bytes or a binary file object, "
                            f"not {type(source).__name__}") from None
    pointer = data.ctypes.data if data.size else ctypes.addressof(_NO_BYTES)
    status = _native.require("rk_load_memory")(pointer, data.size, ctypes.byref(out))
    _native.check(status, f"cannot read {what}:")
    return to_array(out)


def _writer(target):
    """rk_save_png_write's callback onto target.write, and the list where an exception
    raised by target.write is kept (the callback may not raise into the library)."""
    raised = []

    def write(_user, data, size):
        try:
            block = memoryview(ctypes.string_at(data, size))
            while block:
                n = target.write(block)
                # 0 for a non-empty block would ask for the same bytes again, for ever.
                if n is None or n == 0:
                    raise BlockingIOError("the file object took no bytes (non-blocking?)")
                if not 0 <= n <= len(block):  # as io.BufferedWriter refuses it
                    raise OSError(f"the file object's write() returned {n} for {len(block)} "
                                  "bytes")
                block = block[n:]
            return 0
        except BaseException as e:  # noqa: BLE001 - re-raised after the library returns
            raised.append(e)
            return 1
    return _native.WRITE_FN(write), raised


def save_png(target: Union[PathLike, bytes, BinaryIO], image, *, depth: int = 8,
             channels: str = "rgb") -> None:
    """Writes image as a PNG of ``depth`` bits per channel (8 or 16; alpha is dropped).

    target is a path (str, bytes or os.PathLike) or a binary file object (its write()
    takes the file's bytes in order). ``channels`` picks the file's channels from the
    image's: three letters of r, g, b give an RGB file ("grb" swaps red and green, as
    the command's --channels); one letter gives a grey file of that channel. Values
    map 0..1 to the full range, saturating. The bytes are the command's for the same
    settings. A file is written beside the target and renamed over it once complete,
    so an existing file survives a failed save. Raises WriteError (with the library's
    message) when the file cannot be written; an exception of target.write passes
    through."""
    # Only a whole number, as the other whole-number options (16.0 is one):
    # int() would quietly make 8.9 an 8 and "16" a 16.
    if isinstance(depth, bool) or not _is_whole(depth) or depth not in (8, 16):
        raise ValueError(f"depth must be 8 or 16, not {depth!r}")
    depth = int(depth)
    letters = channels.lower() if isinstance(channels, str) else ""
    if len(letters) not in (1, 3) or any(c not in "rgb" for c in letters):
        raise ValueError(f"channels must be one or three letters of r, g, b, not {channels!r}")
    params = _native.PngParams.defaults()
    params.bit_depth = depth
    params.layout = _PNG_GREY if len(letters) == 1 else _PNG_RGB
    for i, c in enumerate(letters):
        params.channels[i] = "rgb".index(c)
    src = InputImage(image)
    if isinstance(target, bytes) or _is_path(target):
        path = _c_path(target)
        status = _native.require("rk_save_png_file")(path, src.pointer, ctypes.byref(params))
        _native.check(status, f"cannot write {os.fsdecode(path)}:")
        return
    if not hasattr(target, "write"):
        raise TypeError(f"save_png writes to a path or a binary file object, not "
                        f"{type(target).__name__}")
    write, raised = _writer(target)
    status = _native.require("rk_save_png_write")(src.pointer, ctypes.byref(params), write, None)
    if raised:
        raise raised[0]
    _native.check(status, f"cannot write {getattr(target, 'name', 'the PNG')}:")


# --------------------------------------------------------------------------- generators

def heightmap(photo, *, mode: Union[str, HeightMode] = "delit", auto_levels: bool = True,
              midpoint: float = 0.5, clamp: Optional[Tuple[float, float]] = None,
              detail: Optional[Tuple[int, float]] = (5, 0.05),
              smooth: Union[None, int, Tuple[int, Union[str, BlurKind]]] = (3, "gaussian"),
              invert: Union[bool, str] = "", weights: Tuple[float, float, float] = (1, 1, 1),
              seamless: bool = False,
              light: Union[None, float, Tuple[float, Optional[float]]] = None) -> np.ndarray:
    """New grey height map of a photograph: red = green = blue = height, alpha 1;
    but the modes red to average with no blur and no clamp (smooth=None,
    detail=None, clamp=None) keep the photo's alpha (red, green, blue) or put it
    through the colour's arithmetic (red-green to average: an inverted channel
    inverts it too).

    mode        colour-to-height conversion: red, green, blue, red-green, red-blue,
                green-blue, average, luminance (the eye's weights, bright means high)
                or delit (the default: heights from the shading with the light and
                the colour taken out; under an even light the luminance map).
    light       the delit mode's light (the command's --light): None (estimated; see
                estimate_light()), an azimuth in degrees counter-clockwise on screen
                (0 = from the right edge, 90 = from the top edge; -360..360), or
                (azimuth, elevation 1..90 or None).
    auto_levels move the darkest level down to 0 (the range is not stretched); a
                flat map, or one within 1e-4 of flat once clamped to 0..1, is kept.
    midpoint    input level that becomes mid-grey, 0..1: below 0.5 raises the middle
                heights, above lowers them.
    clamp       None, or (low, high) within 0..1, low <= high: heights are limited to
                that range.
    detail      (taps 0..99, threshold 0..0.5) of the edge-preserving smoothing, a
                Gaussian blur wherever the edge strength is below threshold (a height
                step of 1 between neighbours measures 0.25); None or taps < 3: off.
    smooth      final blur: None, taps 0..99, or (taps, "gaussian" | "box" | "tent");
                taps below 3 switch it off, an even count uses one less.
    invert      channels read as 1 - value: a string of r, g, b (the command's
                --invert-red/-green/-blue), True for all three; dark then means high.
                The delit mode heeds only all three (the relief turned upside down)
                and ignores fewer letters.
    weights     three weights the generator only tests: all zero give a black map.
    seamless    read across the opposite edge, for textures that tile."""
    p = _native.HeightParams.defaults("light" if light is not None else "")
    p.mode = _MODE_NUMBERS[_enum(HeightMode, mode, "mode")]
    inverted = "rgb" if invert is True else (invert or "")
    if not isinstance(inverted, str) or any(c not in "rgb" for c in inverted.lower()):
        raise ValueError(f"invert must be True, False or letters of r, g, b, not {invert!r}")
    inverted = inverted.lower()
    p.invert_red, p.invert_green, p.invert_blue = (c in inverted for c in "rgb")
    p.auto_levels = bool(auto_levels)
    p.midpoint = _number(midpoint, 0.0, 1.0, "midpoint")
    p.clamp = clamp is not None
    if clamp is not None:
        low, high = (_number(v, 0.0, 1.0, "clamp limits") for v in clamp)
        p.clamp_low, p.clamp_high = low, high
        # The library would limit every height to one level, a flat map: refused as
        # the command refuses --clamp-low above --clamp-high (as the floats it holds).
        if p.clamp_low > p.clamp_high:
            raise ValueError(f"clamp low {low} is above clamp high {high}")
    detail_size, threshold = detail if detail is not None else (0, 0.0)
    p.detail_size = _number(detail_size, 0, 99, "detail size", integral=True)
    p.detail_threshold = _number(threshold, 0.0, 0.5, "detail threshold")
    p.smooth_size, p.smooth_kind = _size_and_kind(smooth, "smooth", 99)
    p.edge_mode = _EDGE_WRAP if seamless else _EDGE_CLAMP
    p.light_azimuth, p.light_elevation = _surface.light_angles(light)
    src = InputImage(photo, "photo")
    if all(abs(np.float32(w)) <= _FLOAT_EPSILON for w in _three(weights, "weights")):
        # The old generator's one use of its weights, which the rk_ one has no field
        # for. The library still checks the other options, on one pixel, so that they
        # are refused whatever the weights. The pixel is held in a local: its record
        # and memory go with the last reference, which must outlive the call.
        one_pixel = InputImage(np.zeros((1, 1, 4), np.float32))
        _new_image("rk_height_map", "cannot make the height map:", one_pixel.pointer,
                   ctypes.byref(p))
        black = np.zeros(src.array.shape, np.float32)
        black[..., 3] = 1.0
        return black
    return _new_image("rk_height_map", "cannot make the height map:", src.pointer,
                      ctypes.byref(p))


def estimate_light(photo, *, seamless: bool = False) -> Light:
    """The light the delit mode takes for a photograph (the command prints it with
    --verbose): Light(azimuth, elevation, directional). The azimuth (0..360, degrees
    counter-clockwise on screen, 0 = from the right edge) is None under a light judged
    even; directional runs from 0 (even) to 1 (one side). A bump lit from one side
    looks like a hollow lit from the other: the estimate takes the darker parts to lie
    lower, so when a relief comes out upside down, pass light=(azimuth + 180) % 360 to
    heightmap(). The elevation is None (one photograph does not tell it). This is the
    light of heightmap()'s default smoothing: the smoothing shapes the darker parts
    that choose the end, so a much larger smooth may take the other one."""
    params = _native.HeightParams.defaults()
    params.edge_mode = _EDGE_WRAP if seamless else _EDGE_CLAMP
    return _surface.estimate_light(photo, params)


def photometric_stereo(photos, azimuths=None, *, elevation: Optional[float] = None,
                       ambient: Optional[float] = None, outlier: float = 0.05,
                       seamless: bool = False, invert_x: bool = False,
                       invert_y: bool = False) -> PhotometricResult:
    """Normal map, de-lit colour and height map of a surface from 3 to 32 photographs
    with the same framing, each under its own light (the command's --photometric).

    azimuths   one per photograph, a number of degrees (-360..360, as the azimuth of
               heightmap(light=...)), or None for a light to estimate; None: all
               estimated. Lights to estimate need a relief to read them from and
               lights from more than one side and its opposite, else Error.
    elevation  the lights' shared elevation in degrees (1..90); None: 45.
    ambient    the even light's share (0..1) in I = albedo (ambient + max(0, n . l));
               None: estimated from the shadows (four photographs or more), else 0.2.
    outlier    a light whose reading strays by more than this share of the albedo is
               dropped at that pixel (shadows, highlights) while three remain.
    Returns PhotometricResult(normal, albedo, height, height_range, ambient, lights)."""
    photos = list(photos)
    if azimuths is None:
        azimuths = [None] * len(photos)
    return _surface.photometric_stereo(photos, list(azimuths), elevation, ambient, outlier,
                                       seamless, invert_x, invert_y)


def height_from_normals(normals, *, invert_x: bool = False, invert_y: bool = False,
                        blue: str = "unread", seamless: bool = False) -> Tuple[np.ndarray, float]:
    """Heights (0..1, grey) integrating a tangent-space normal map (the command's
    --from-normal), and what 1 stands for in pixels.

    invert_y  green grows up the picture (OpenGL style); default down (DirectX style).
    invert_x  red grows to the left.
    blue      "unread" (z from red and green), "z" (blue is z) or "biased" (0.5 + 0.5 z).
    seamless  the map tiles (periodic heights); else its edges are mirrored."""
    kinds = {"unread": 0, "z": 1, "biased": 2}
    if blue not in kinds:
        raise ValueError(f"blue must be one of unread, z, biased, not {blue!r}")
    return _surface.height_from_normals(normals, invert_x, invert_y, kinds[blue], seamless)


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
    seamless      read across the opposite edge, for textures that tile.

    Encoding: red and green hold 0.5 + 0.5 * n; blue holds n_z itself without a blur.
    A blur then reads each blurred channel, blue and alpha included, as 2v - 1, scales
    the four to unit length and stores 0.5 + 0.5 * each of red, green and blue: a flat
    surface's blue becomes 0.854, and (2r - 1, 2g - 1, 2b - 1) normalised is steeper
    than the blurred normal (blue held n_z, and 2 n_z - 1 < n_z). Without a blur, the outermost rows
    and columns are the flat normal (0.5, 0.5, 1) when not seamless. Alpha is 1."""
    p = _native.NormalParams.defaults()
    p.strength = _number(strength, 1, 10, "strength", integral=True)
    p.center_tap = _number(center_weight, 0, 100, "center_weight", integral=True)
    p.invert_x, p.invert_y = bool(invert_x), bool(invert_y)
    p.blur_size, p.blur_kind = _size_and_kind(blur, "blur", 254)
    p.edge_mode = _EDGE_WRAP if seamless else _EDGE_CLAMP
    src = InputImage(height, "height")
    return _new_image("rk_normal_map", "cannot make the normal map:", src.pointer,
                      ctypes.byref(p))


def resample(image, width: int, height: int) -> np.ndarray:
    """New width x height copy (1..65535 each), resampled bilinearly, corners onto corners."""
    w = _number(width, 1, 65535, "width", integral=True)
    h = _number(height, 1, 65535, "height", integral=True)
    src = InputImage(image)
    return _new_image("rk_image_resample", f"cannot resample to {w}x{h}:", src.pointer, w, h)


def make_tileable(image, *, width_fraction: float = 0.1) -> np.ndarray:
    """New image whose edges wrap seamlessly: a band of width_fraction (0 < f <= 0.5) of
    the size along each edge is blended with the opposite side."""
    fraction = float(width_fraction)
    if not 0.0 < fraction <= 0.5:
        raise ValueError(f"width_fraction must be above 0 and at most 0.5, not {width_fraction!r}")
    src = InputImage(image)
    return _new_image("rk_make_tileable", "cannot make the image tileable:", src.pointer,
                      fraction)


# --------------------------------------------------------------------------- threads

def set_thread_count(n: int = 0) -> None:
    """At most n threads busy with the library at once, process-wide; 0 means every
    processor the process may use. A call always works on its caller's thread, so
    host threads calling at once each run, and the library's workers join calls
    only while fewer than n threads are busy."""
    _native.require("rk_set_thread_count")(
        _number(n, 0, 2**32 - 1, "thread count", integral=True))


def get_thread_count() -> int:
    """The thread count now in force (at least 1)."""
    return int(_native.require("rk_get_thread_count")())


from ._farm import make_maps, shard_of  # noqa: E402 - builds on the functions above
