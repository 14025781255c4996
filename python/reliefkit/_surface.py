"""The light, several photographs under several lights, and heights from a normal
map: the rk_ exports behind estimate_light(), photometric_stereo(),
height_from_normals() and heightmap(light=...)."""

from __future__ import annotations

import ctypes
import math
from typing import NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from . import _native
from ._images import InputImage, to_array

_u32, _f, _img = ctypes.c_uint32, ctypes.c_float, ctypes.c_void_p
_MOST_PHOTOGRAPHS = 32  # RK_MOST_PHOTOGRAPHS


class _Struct(ctypes.Structure):
    """A parameter or result struct: struct_size first, filled by its init export."""

    @classmethod
    def made(cls, init: Optional[str] = None):
        s = cls()
        s.struct_size = ctypes.sizeof(cls)
        if init:
            _check(_export(init, ctypes.POINTER(cls), ctypes.c_size_t)(
                ctypes.byref(s), ctypes.sizeof(cls)), "cannot fill the defaults")
        return s


class _Light(_Struct):
    _fields_ = [("struct_size", _u32), ("azimuth", _f), ("elevation", _f),
                ("directional", _f)]


class _PhotometricParams(_Struct):
    _fields_ = [("struct_size", _u32), ("elevation", _f), ("ambient", _f), ("outlier", _f),
                ("edge_mode", _u32), ("invert_x", _u32), ("invert_y", _u32)]


class _PhotometricResult(_Struct):
    _fields_ = [("struct_size", _u32), ("count", _u32), ("normal", _img), ("albedo", _img),
                ("height", _img), ("height_range", _f), ("ambient", _f),
                ("light_azimuth", _f * _MOST_PHOTOGRAPHS),
                ("light_elevation", _f * _MOST_PHOTOGRAPHS)]


class _IntegrateParams(_Struct):
    _fields_ = [(n, _u32) for n in ("struct_size", "invert_x", "invert_y", "blue",
                                    "edge_mode")]


class Light(NamedTuple):
    """A light: azimuth in degrees counter-clockwise on screen (0 = from the right
    edge, 90 = from the top edge; None under an even light), elevation in degrees above
    the surface (None when not known), how directional 0 (even) .. 1 (one side)."""
    azimuth: Optional[float]
    elevation: Optional[float]
    directional: float

    def __repr__(self) -> str:
        # The library's angles are float32: their widened digits past the shortest
        # text that reads back as the same float32 are noise, not precision.
        def shown(value: Optional[float]) -> str:
            return "None" if value is None else str(np.float32(value))
        return (f"Light(azimuth={shown(self.azimuth)}, elevation={shown(self.elevation)}, "
                f"directional={shown(self.directional)})")


class PhotometricResult(NamedTuple):
    """What photometric_stereo() gives: the normal map (blue = z, as normalmap()
    writes without a blur), the de-lit colour, the height map (0..1), what 1 in it
    stands for in pixels, the ambient share and each photograph's light as used."""
    normal: np.ndarray
    albedo: np.ndarray
    height: np.ndarray
    height_range: float
    ambient: float
    lights: Tuple[Light, ...]


def _export(name: str, *argtypes, restype=ctypes.c_int):
    fn = getattr(_native.lib, name, None)
    if fn is None:
        raise NotImplementedError(f"the loaded reliefkit library ({_native.library_path}) has "
                                  f"no export {name}(); it needs a newer build of the library")
    fn.restype, fn.argtypes = restype, list(argtypes)
    return fn


def _check(status: int, headline: str) -> None:
    _native.check(status, headline)


def _none_if_nan(value: float) -> Optional[float]:
    return None if math.isnan(value) else float(value)


def light_angles(light) -> Tuple[float, float]:
    """(azimuth, elevation) of None, an azimuth or (azimuth, elevation); NaN: not given."""
    if light is None:
        return math.nan, math.nan
    azimuth, elevation = (light, None) if np.isscalar(light) else light
    return (_native.given(float(azimuth), "light azimuth"),
            _native.given(elevation, "light elevation"))


def estimate_light(photo, params: _native.HeightParams) -> Light:
    src = InputImage(photo, "photo")
    light = _Light.made()
    _check(_export("rk_estimate_light", _img, ctypes.POINTER(_native.HeightParams),
                   ctypes.POINTER(_Light))(src.pointer, ctypes.byref(params),
                                           ctypes.byref(light)),
           "cannot estimate the light:")
    return Light(_none_if_nan(light.azimuth), _none_if_nan(light.elevation),
                 float(light.directional))


def photometric_stereo(photos: Sequence, azimuths: Sequence, elevation, ambient, outlier: float,
                       seamless: bool, invert_x: bool, invert_y: bool) -> PhotometricResult:
    sources = [InputImage(p, f"photos[{i}]") for i, p in enumerate(photos)]
    count = len(sources)
    if len(azimuths) != count:
        raise ValueError(f"azimuths has {len(azimuths)} entries for {count} photographs")
    params = _PhotometricParams.made("rk_photometric_params_init")
    params.elevation = _native.given(elevation, "elevation")
    params.ambient = _native.given(ambient, "ambient")
    params.outlier = _native.given(float(outlier), "outlier")
    params.edge_mode = int(bool(seamless))
    params.invert_x, params.invert_y = int(bool(invert_x)), int(bool(invert_y))
    pointers = (_img * max(count, 1))(*[s.pointer for s in sources])
    angles = (_f * max(count, 1))(*[_native.given(a, "azimuth") for a in azimuths])
    result = _PhotometricResult.made()
    _check(_export("rk_photometric_stereo", ctypes.POINTER(_img), _u32, ctypes.POINTER(_f),
                   ctypes.POINTER(_f), ctypes.POINTER(_PhotometricParams),
                   ctypes.POINTER(_PhotometricResult))(
        pointers, count, angles, None, ctypes.byref(params), ctypes.byref(result)),
        "cannot solve the photographs:")
    maps = [to_array(_img(result.normal)), to_array(_img(result.albedo)),
            to_array(_img(result.height))]
    lights = tuple(Light(float(result.light_azimuth[i]), float(result.light_elevation[i]), 1.0)
                   for i in range(count))
    return PhotometricResult(*maps, float(result.height_range), float(result.ambient), lights)


def height_from_normals(normals, invert_x: bool, invert_y: bool, blue: int,
                        seamless: bool) -> Tuple[np.ndarray, float]:
    src = InputImage(normals, "normals")
    params = _IntegrateParams.made("rk_integrate_params_init")
    params.invert_x, params.invert_y = int(bool(invert_x)), int(bool(invert_y))
    params.blue, params.edge_mode = blue, int(bool(seamless))
    out, span = _img(), _f()
    _check(_export("rk_height_from_normals", _img, ctypes.POINTER(_IntegrateParams),
                   ctypes.POINTER(_img), ctypes.POINTER(_f))(
        src.pointer, ctypes.byref(params), ctypes.byref(out), ctypes.byref(span)),
        "cannot integrate the normals:")
    return to_array(out), float(span.value)
