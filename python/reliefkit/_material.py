"""The material maps besides heights and normals, on the library's rk_ exports:
occlusion and curvature from heights, roughness and the de-lit colour (base colour)
from a photograph. Each returns a new (H, W, 4) float32 array; the one-channel maps
are grey (red = green = blue), alpha 1."""

from __future__ import annotations

import ctypes
import math
import numbers
from typing import Optional

import numpy as np

from . import _native
from ._errors import VersionError
from ._images import InputImage, to_array

_u32, _f = ctypes.c_uint32, ctypes.c_float
_EDGE_CLAMP, _EDGE_WRAP = 0, 1


def _params(name: str, fields, later=()):
    """A ctypes copy of an rk_ parameter struct: struct_size, then the fields in order.
    later: the fields that came after the package's oldest library, each with the value
    that asks for what a library without it does."""
    return type(name, (ctypes.Structure,), {"_fields_": [("struct_size", _u32)] + fields,
                                             "_later_": dict(later)})


_AO = _params("rk_ao_params", [("depth", _f), ("radius", _f), ("directions", _u32),
                                ("edge_mode", _u32)])
_CURVATURE = _params("rk_curvature_params", [("scale", _u32), ("strength", _f),
                                              ("edge_mode", _u32)])
_ROUGHNESS = _params("rk_roughness_params", [("contrast", _f), ("bias", _f),
                                              ("edge_mode", _u32)])
_ALBEDO = _params("rk_albedo_params", [("edge_mode", _u32), ("light_azimuth", _f),
                                       ("flatten_light", _u32), ("scale", _u32)],
                  later=[("scale", 0)])  # since 0.2.2


def _export(name: str, restype, argtypes):
    fn = getattr(_native.lib, name, None)
    if fn is None:
        raise NotImplementedError(f"the loaded reliefkit library ({_native.library_path}) has "
                                  f"no export {name}(); it needs a newer build of the library")
    fn.restype, fn.argtypes = restype, argtypes
    return fn




def _defaults(export: str, struct, headline: str, fields: dict):
    """The struct filled by its init export. A library older than the struct refuses its
    size (RK_ERROR_VERSION): it is given the struct without the later fields, so long as
    each is left at the value that means what it does without them."""
    params = struct()
    init = _export(f"{export}_params_init", ctypes.c_int, [ctypes.c_void_p, ctypes.c_size_t])
    status = init(ctypes.byref(params), ctypes.sizeof(params))
    if status == VersionError.status and struct._later_:
        for name, without in struct._later_.items():
            if fields.get(name, without) != without:
                raise NotImplementedError(
                    f"the loaded reliefkit library ({_native.library_path}, version "
                    f"{_native.version_string}) has no {struct.__name__}.{name}; leave out "
                    f"{name} or use a newer build of the library")
        older = min(getattr(struct, name).offset for name in struct._later_)
        status = init(ctypes.byref(params), older)
    _native.check(status, headline)
    return params


def _map(export: str, struct, headline: str, image, what: str, **fields) -> np.ndarray:
    """Fills the struct with the library's defaults, sets the given fields and runs the
    generator; a refused field or a failure raises with the library's whole message."""
    kinds = dict(struct._fields_)
    for name, value in fields.items():
        # ctypes would take True as 1 and name no field when it refuses a type.
        whole = kinds[name] is _u32
        if isinstance(value, bool) or not isinstance(value, numbers.Integral if whole
                                                     else numbers.Real):
            raise TypeError(f"{name} must be {'a whole number' if whole else 'a number'}, "
                            f"not {value!r}")
        # ctypes keeps the low 32 bits of an integer: 2**32 + 16 directions would be 16;
        # and makes a finite number past a float's range infinite (1e300 is no inf).
        if (not 0 <= value <= 0xFFFFFFFF) if whole else (
                math.isfinite(value) and abs(value) > _native.FLOAT_MAX):
            raise ValueError(f"{name} is out of range: {value!r}")
    # Fields past the struct_size the library was given are never read.
    params = _defaults(export, struct, headline, fields)
    for name, value in fields.items():
        setattr(params, name, value)
    src = InputImage(image, what)
    out = ctypes.c_void_p()
    make = _export(f"{export}_map", ctypes.c_int,
                   [ctypes.c_void_p, ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p)])
    _native.check(make(src.pointer, ctypes.byref(params), ctypes.byref(out)), headline)
    return to_array(out)


def ambient_occlusion(height, *, depth: float = 16.0, radius: float = 32.0,
                      directions: int = 16, seamless: bool = False) -> np.ndarray:
    """Occlusion of the heights in red: the cosine-weighted share of the sky each pixel
    sees, 1 open, towards 0 shut in. depth: pixels per unit of height (0..4096);
    radius: how far each pixel looks, in pixels (8..256); directions: 4..256."""
    return _map("rk_ao", _AO, "cannot make the occlusion map:", height, "height",
                depth=depth, radius=radius, directions=directions,
                edge_mode=_EDGE_WRAP if seamless else _EDGE_CLAMP)


def curvature(height, *, scale: int = 9, strength: float = 1.0,
              seamless: bool = False) -> np.ndarray:
    """Curvature of the heights in red: 0.5 where flat (a plane of any slope), above on
    ridges and bumps, below in valleys. scale: Gaussian taps, 3..253; strength 0..100."""
    return _map("rk_curvature", _CURVATURE, "cannot make the curvature map:", height, "height",
                scale=scale, strength=strength,
                edge_mode=_EDGE_WRAP if seamless else _EDGE_CLAMP)


def roughness(photo, *, contrast: float = 1.0, bias: float = 0.0,
              seamless: bool = False) -> np.ndarray:
    """Roughness of a photograph (0 smooth, 1 rough) from its fine detail and brightness:
    a starting point to tune. contrast 0..16, bias -1..1."""
    return _map("rk_roughness", _ROUGHNESS, "cannot make the roughness map:", photo, "photo",
                contrast=contrast, bias=bias, edge_mode=_EDGE_WRAP if seamless else _EDGE_CLAMP)


def albedo(photo, *, light_azimuth: Optional[float] = None, flatten_light: bool = True,
           scale: int = 0, seamless: bool = False) -> np.ndarray:
    """The de-lit colour (base colour): the photograph with its light divided out, colour
    kept. light_azimuth: degrees counter-clockwise, 0 from the right edge, 90 from the
    top, -360 to 360 as for heightmap(light=...) (None: estimated); flatten_light: also take out a light falling off across it
    (not when seamless: a plane does not tile). The darkening of cavities is lifted under
    any light (narrow dark marks of the surface's own colour may be lightened too).
    scale (library 0.2.2 or later): the width in pixels of the light taken out, 1..4096
    (0: a sixteenth of the photograph's larger side); given, with the light, a seamless map is the centre of
    the seamless map of the photograph tiled 3 x 3 (see rk_albedo_map() for the sizes)."""
    return _map("rk_albedo", _ALBEDO, "cannot make the de-lit colour:", photo, "photo",
                light_azimuth=_native.given(light_azimuth, "light_azimuth"),
                flatten_light=int(bool(flatten_light)), scale=scale,
                edge_mode=_EDGE_WRAP if seamless else _EDGE_CLAMP)
