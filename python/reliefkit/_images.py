"""NumPy arrays to and from the library's images.

Inputs the library only reads are lent to it without a copy when their pixels
already are what it reads: four float32 a pixel, packed, rows 16-byte aligned and
a multiple of 16 bytes apart (a C-contiguous (H, W, 4) array, or a crop of one
whose columns start on a 16-byte boundary). rk_image_wrap then makes the
library's record over the array's own memory. Anything else is converted once.

Images the library returns become arrays whose base is a small owner object; the
owner frees the image with rk_image_free when the last array using it goes away.
"""

from __future__ import annotations

import ctypes

import numpy as np

from . import _native
from ._errors import LimitError

_ALIGN = 16
_PIXEL = 16  # bytes: four float32
_LARGEST_SIZE = 0xFFFFFFFF  # rk_image_wrap's width and height are uint32_t
MOST_PIXELS = 268435455  # RK_MAX_IMAGE_PIXELS


class _ImageOwner:
    """Holds one image made by the library; exposes its pixels to NumPy."""

    __slots__ = ("_img", "__array_interface__")

    def __init__(self, img: int):
        self._img = img
        h, w = _native.require("rk_image_height")(img), _native.require("rk_image_width")(img)
        self.__array_interface__ = {
            "shape": (h, w, 4),
            "typestr": "<f4",
            "data": (_native.require("rk_image_pixels")(img) or 0, False),
            "strides": (_native.require("rk_image_stride")(img), _PIXEL, 4),
            "version": 3,
        }

    # Bound once, so that images dropped while the interpreter shuts down are still freed.
    def __del__(self, _free=_native.require("rk_image_free")):
        img, self._img = self._img, None
        if img:
            _free(img)


def to_array(img: ctypes.c_void_p) -> np.ndarray:
    """The (H, W, 4) float32 array over a library image; the array takes ownership."""
    return np.asarray(_ImageOwner(img.value))


def _as_rgba(array, what: str) -> np.ndarray:
    a = np.asarray(array)
    if a.dtype == np.float32:
        pass
    elif a.dtype.kind == "f":
        a = a.astype(np.float32)
    elif a.dtype.kind == "u":
        a = a.astype(np.float32) / np.float32(np.iinfo(a.dtype).max)
    else:
        raise TypeError(f"{what}: pixels must be floating point or unsigned integers, "
                        f"not {a.dtype}")
    if a.ndim == 3 and a.shape[2] == 1:
        a = a[:, :, 0]
    if a.ndim == 2:
        rgba = np.empty(a.shape + (4,), np.float32)
        rgba[..., :3] = a[..., None]
        rgba[..., 3] = 1.0
        return rgba
    if a.ndim == 3 and a.shape[2] == 3:
        return np.concatenate([a, np.ones(a.shape[:2] + (1,), np.float32)], axis=2)
    if a.ndim == 3 and a.shape[2] == 4:
        return a
    raise ValueError(f"{what}: expected an array of shape (H, W), (H, W, 1), (H, W, 3) or "
                     f"(H, W, 4), not {a.shape}")


def _refuse_too_many_pixels(shape, what: str) -> None:
    """Refused as the library refuses too many pixels, but before any copy: the
    conversion to float32 RGBA would take 16 bytes a pixel first (over 4 GiB), and
    ctypes hands the library the low 32 bits of a size (2**32 + 16 rows read as 16)."""
    if len(shape) < 2 or (max(shape[:2]) <= _LARGEST_SIZE
                          and shape[0] * shape[1] <= MOST_PIXELS):
        return
    h, w = shape[:2]
    raise LimitError(f"rk_image_wrap: {w} x {h} pixels is more than RK_MAX_IMAGE_PIXELS "
                     f"({MOST_PIXELS})", f"{what}: cannot lend its {w}x{h} pixels to the library:")


def _row_stride(a: np.ndarray):
    """The bytes from row to row when the library can read a in place, else None."""
    if a.dtype.byteorder == ">" or a.ctypes.data % _ALIGN or not a.ctypes.data:
        return None
    rows, pixels, floats = a.strides
    if floats != 4 or (pixels != _PIXEL and a.shape[1] > 1):
        return None
    stride = rows if a.shape[0] > 1 else _PIXEL * a.shape[1]
    ok = stride % _ALIGN == 0 and stride >= _PIXEL * a.shape[1]
    return stride if ok else None


def _aligned_copy(a: np.ndarray) -> np.ndarray:
    spare = _ALIGN // 4
    block = np.empty(a.size + spare, np.float32)
    start = (-block.ctypes.data % _ALIGN) // 4
    out = block[start:start + a.size].reshape(a.shape)
    out[...] = a
    return out


class InputImage:
    """The library's record over the caller's array (lent) or an aligned copy of it.
    Keep the object alive for as long as the library uses ``pointer``."""

    __slots__ = ("array", "pointer", "borrowed", "_img")

    def __init__(self, array, what: str = "image"):
        given = np.asarray(array)
        _refuse_too_many_pixels(given.shape, what)
        a = _as_rgba(given, what)
        stride = _row_stride(a)
        if stride is None:  # a converted array is copied again only when it is not aligned
            a = a if a.flags.c_contiguous and a.ctypes.data % _ALIGN == 0 else _aligned_copy(a)
            stride = _PIXEL * a.shape[1]
        self.array, self.borrowed, self._img = a, a is given, None
        h, w = a.shape[:2]
        img = ctypes.c_void_p()
        _native.check(_native.require("rk_image_wrap")(a.ctypes.data, w, h, stride,
                                                        ctypes.byref(img)),
                      f"{what}: cannot lend its {w}x{h} pixels to the library:")
        self._img = img.value
        self.pointer = self._img

    def __del__(self, _free=_native.require("rk_image_free")):
        img, self._img = getattr(self, "_img", None), None
        if img:
            _free(img)
