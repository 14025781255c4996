"""Finding and loading the reliefkit shared library, and the prototypes of its exports.

The library is loaded once per process with ctypes. The package calls only its rk_
interface (statuses, per-thread messages, parameter structs, memory loads, wrapped
images); a library without it is refused at import. Exports that arrive in later
versions may be missing from the copy that is loaded; they are then None here, and
the Python function that needs one says which export it lacks (rk_version tells
what a library has).
"""

from __future__ import annotations

import ctypes
import ctypes.util
import math
import os
from pathlib import Path

from ._errors import VersionError, error_for

__all__ = ["lib", "library_path", "version", "version_string", "optional", "require", "check"]

_HERE = Path(__file__).resolve().parent
# The package's own copy, laid out as an installation prefix so that anything the
# library finds next to itself (libexec/reliefkit/...) is where it looks.
_OWN_COPY_DIR = _HERE / "_native" / "lib"
_SONAME = "libreliefkit.so.0"


class LibraryNotFoundError(ImportError):
    """The reliefkit shared library could not be loaded; the message lists every place tried."""


def _candidates() -> list[tuple[str, str]]:
    """(where, what to dlopen) in the order they are tried."""
    # A library the caller names is the only one tried: another copy standing in
    # for a misspelt or broken one would run tests or jobs against the wrong build.
    override = os.environ.get("RELIEFKIT_LIBRARY")
    if override:
        return [("RELIEFKIT_LIBRARY", override)]
    tried = [("the package's own copy", str(_OWN_COPY_DIR / _SONAME))]
    found = ctypes.util.find_library("reliefkit")
    tried.append(("the system's library path", found or _SONAME))
    return tried


def _load() -> tuple[ctypes.CDLL, str]:
    reasons = []
    for where, name in _candidates():
        if os.sep in name and not os.path.exists(name):
            reasons.append(f"  {where}: {name} (no such file)")
            continue
        try:
            return ctypes.CDLL(name), name
        except OSError as error:
            reasons.append(f"  {where}: {name} ({error})")
    if os.environ.get("RELIEFKIT_LIBRARY"):
        raise LibraryNotFoundError(
            "cannot load the reliefkit shared library named in RELIEFKIT_LIBRARY:\n"
            + "\n".join(reasons) + "\nName the library's file there, or unset it to load "
            "the package's own copy or the system's.")
    raise LibraryNotFoundError(
        "cannot load the reliefkit shared library; looked in:\n" + "\n".join(reasons) + "\n"
        "Install the package with `pip install --no-build-isolation ./python` from the "
        "repository (it builds and carries its own copy), install the library system-wide, "
        "or name the file in RELIEFKIT_LIBRARY."
    )


lib, library_path = _load()

_img = ctypes.c_void_p  # imgbuf*, opaque: images are made and looked into only by the library
_out = ctypes.POINTER(ctypes.c_void_p)  # imgbuf**: where a new image is handed back
_u32, _f, _size, _status = ctypes.c_uint32, ctypes.c_float, ctypes.c_size_t, ctypes.c_int

# int (*rk_write_fn)(void* user, const void* data, size_t size)
WRITE_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t)


class _Params(ctypes.Structure):
    """A parameter struct of the rk_ interface: filled with the command's defaults by
    its init function, which also sets struct_size to this (the binding's) size, so
    that a newer library gives the defaults for any field added since. A library older
    than the struct refuses its size (RK_ERROR_VERSION): it is given the struct up to
    _later, the first field added since the package's oldest library, so long as the
    caller sets none of the later fields (whose defaults mean what it does without them)."""

    _init = ""
    _later = ""

    @classmethod
    def defaults(cls, setting_later: str = ""):
        """The struct filled by its init export; setting_later names the caller's option
        that is to set the later fields, when it is given."""
        params = cls()
        init = require(cls._init)
        status = init(ctypes.byref(params), ctypes.sizeof(params))
        if status == VersionError.status and cls._later:
            if setting_later:
                raise NotImplementedError(
                    f"the loaded reliefkit library ({library_path}, version {version_string}) "
                    f"has no {cls._init[:-len('_init')]}.{cls._later}; leave out "
                    f"{setting_later} or use a newer build of the library")
            status = init(ctypes.byref(params), getattr(cls, cls._later).offset)
        check(status, cls._init)
        return params


class HeightParams(_Params):
    _init = "rk_height_params_init"
    _fields_ = [(name, _f if name in ("midpoint", "clamp_low", "clamp_high",
                                       "detail_threshold") else _u32)
                for name in ("struct_size", "mode", "invert_red", "invert_green", "invert_blue",
                             "auto_levels", "midpoint", "clamp", "clamp_low", "clamp_high",
                             "detail_size", "detail_threshold", "smooth_size", "smooth_kind",
                             "edge_mode")] + [("light_azimuth", _f), ("light_elevation", _f)]
    _later = "light_azimuth"  # and light_elevation: not in the first 0.2.0 builds


class NormalParams(_Params):
    _init = "rk_normal_params_init"
    _fields_ = [("struct_size", _u32), ("strength", _f), ("center_tap", _u32),
                ("invert_x", _u32), ("invert_y", _u32), ("blur_size", _u32),
                ("blur_kind", _u32), ("edge_mode", _u32)]


class PngParams(_Params):
    _init = "rk_png_params_init"
    _fields_ = [("struct_size", _u32), ("bit_depth", _u32), ("layout", _u32),
                ("channels", _u32 * 4), ("compression_level", _u32)]


_P = ctypes.POINTER
_PROTOTYPES = {
    "rk_version": (_u32, []),
    "rk_version_string": (ctypes.c_char_p, []),
    "rk_status_text": (ctypes.c_char_p, [_status]),
    "rk_last_error": (ctypes.c_char_p, []),
    "rk_init": (_status, []),
    "rk_set_thread_count": (None, [_u32]),
    "rk_get_thread_count": (_u32, []),
    "rk_image_wrap": (_status, [ctypes.c_void_p, _u32, _u32, _size, _out]),
    "rk_image_free": (None, [_img]),
    "rk_image_width": (_u32, [_img]),
    "rk_image_height": (_u32, [_img]),
    "rk_image_stride": (_size, [_img]),
    "rk_image_pixels": (ctypes.c_void_p, [_img]),
    "rk_image_resample": (_status, [_img, _u32, _u32, _out]),
    "rk_make_tileable": (_status, [_img, _f, _out]),
    "rk_load_file": (_status, [ctypes.c_char_p, _out]),
    "rk_load_memory": (_status, [ctypes.c_void_p, _size, _out]),
    "rk_height_params_init": (_status, [_P(HeightParams), _size]),
    "rk_height_map": (_status, [_img, _P(HeightParams), _out]),
    "rk_normal_params_init": (_status, [_P(NormalParams), _size]),
    "rk_normal_map": (_status, [_img, _P(NormalParams), _out]),
    "rk_png_params_init": (_status, [_P(PngParams), _size]),
    "rk_save_png_file": (_status, [ctypes.c_char_p, _img, _P(PngParams)]),
    "rk_save_png_write": (_status, [_img, _P(PngParams), WRITE_FN, ctypes.c_void_p]),
}


def _bind(name: str):
    try:
        fn = getattr(lib, name)
    except AttributeError:
        return None
    fn.restype, fn.argtypes = _PROTOTYPES[name]
    return fn


_functions = {name: _bind(name) for name in _PROTOTYPES}

# The rk_ interface is what the package is written against: a library older than
# it is of no use, and says so once, here, rather than at the first call.
if _functions["rk_version"] is None:
    raise LibraryNotFoundError(
        f"the library at {library_path} has no rk_ interface, which this package needs: "
        "it is not reliefkit, or a reliefkit older than 0.2.0; install the package's own build "
        "(`pip install --no-build-isolation ./python`) or name a newer library in "
        "RELIEFKIT_LIBRARY")
version = int(_functions["rk_version"]())
version_string = _functions["rk_version_string"]().decode("ascii")


def optional(name: str):
    """The export, or None when the loaded library predates it."""
    return _functions[name]


def require(name: str):
    """The export; NotImplementedError naming it when the loaded library lacks it."""
    fn = _functions[name]
    if fn is None:
        raise NotImplementedError(
            f"the loaded reliefkit library ({library_path}, version {version_string}) has no "
            f"export {name}(); it needs a newer build of the library")
    return fn


# The largest finite float: ctypes makes a finite number past it infinite, and the
# library's refusal would then name inf, not the number given.
FLOAT_MAX = 3.4028234663852886e38


def given(value, what: str) -> float:
    """A number for a float field where NaN is the library's "not given": None gives
    NaN; NaN itself is refused, or a NaN computed upstream would quietly be taken as
    "not given" (an estimated light, a default elevation)."""
    if value is None:
        return math.nan
    number = float(value)
    if math.isnan(number):
        raise ValueError(f"{what} is not a number: {value!r}")
    if math.isfinite(number) and abs(number) > FLOAT_MAX:
        raise ValueError(f"{what} is out of range: {value!r}")
    return number


def check(status: int, what: str) -> None:
    """Raises the reliefkit.Error of a failed rk_ call, with the calling thread's message;
    call it right after the call, on the same thread."""
    if status:
        raise error_for(status, _functions["rk_last_error"]().decode("utf-8", "replace"), what)
