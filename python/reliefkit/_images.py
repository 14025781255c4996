"""NumPy arrays to and from the library's image records.

Inputs the library only reads are lent to it without a copy when they already are
what it stores: C-contiguous float32 (H, W, 4) whose first pixel is 16-byte
aligned. A record is then built over the array's own memory; the record's layout
is part of the library's binary interface (32 bytes: guard, width, height, pixel
pointer, guard). Anything else is converted once into an aligned array first.

Images the library returns become arrays whose base is a small owner object; the
owner frees the image with delete_imgbuf when the last array using it goes away.
"""

from __future__ import annotations

import ctypes

import numpy as np

from . import _native

_ALIGN = 16
_MAX_BYTES = 1 << 32  # the record's sizes are 32-bit: width * height * 16 stays below


class _ImageOwner:
    """Holds one image made by the library; exposes its pixels to NumPy."""

    __slots__ = ("_img", "__array_interface__")

    def __init__(self, img: int):
        self._img = img
        w = _native.require("imgbuf_w")(img)
        h = _native.require("imgbuf_h")(img)
        data = _native.require("imgbuf_buf")(img)
        self.__array_interface__ = {
            "shape": (h, w, 4),
            "typestr": "<f4",
            "data": (data, False),
            "version": 3,
        }

    # Bound once, so that images dropped while the interpreter shuts down are still freed.
    def __del__(self, _delete=_native.require("delete_imgbuf")):
        img, self._img = self._img, None
        if img:
            _delete(img)


def to_array(img: int) -> np.ndarray:
    """The (H, W, 4) float32 array over a library image; the array takes ownership."""
    return np.asarray(_ImageOwner(img))


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


def _lendable(a: np.ndarray) -> bool:
    return a.flags.c_contiguous and a.ctypes.data % _ALIGN == 0 and a.ctypes.data != 0


def _aligned_copy(a: np.ndarray) -> np.ndarray:
    spare = _ALIGN // 4
    block = np.empty(a.size + spare, np.float32)
    start = (-block.ctypes.data % _ALIGN) // 4
    out = block[start:start + a.size].reshape(a.shape)
    out[...] = a
    return out


class InputImage:
    """A record the library may read, over the caller's array or an aligned copy of it.
    Keep the object alive for as long as the library uses ``pointer``."""

    __slots__ = ("array", "record", "pointer", "borrowed")

    def __init__(self, array, what: str = "image"):
        given = np.asarray(array)
        a = _as_rgba(given, what)
        h, w = a.shape[:2]
        if h * w * 16 >= _MAX_BYTES:
            raise ValueError(f"{what}: {w}x{h} pixels are too many for one image "
                             f"(width * height * 16 bytes must stay below 2^32)")
        # A converted array is already a fresh block: it is copied again only when
        # it is not aligned either.
        self.array = a if _lendable(a) else _aligned_copy(a)
        self.borrowed = self.array is given
        self.record = _native.ImgbufRecord(_native.HEAD_GUARD, w, h,
                                           self.array.ctypes.data, _native.TAIL_GUARD)
        self.pointer = ctypes.addressof(self.record)
