"""Finding and loading the reliefkit shared library, and the prototypes of its exports.

The library is loaded once per process with ctypes. Exports that arrived in later
versions of the library may be missing from the copy that is loaded; they are
then None here, and the Python function that needs one says which export it lacks.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
from pathlib import Path

__all__ = ["lib", "library_path", "ImgbufRecord", "SINK", "optional", "require"]

_HERE = Path(__file__).resolve().parent
# The package's own copy, laid out as an installation prefix so that anything the
# library finds next to itself (libexec/reliefkit/...) is where it looks.
_OWN_COPY_DIR = _HERE / "_native" / "lib"
_SONAME = "libreliefkit.so.0"


class LibraryNotFoundError(ImportError):
    """The reliefkit shared library could not be loaded; the message lists every place tried."""


def _candidates() -> list[tuple[str, str]]:
    """(where, what to dlopen) in the order they are tried."""
    tried: list[tuple[str, str]] = []
    override = os.environ.get("RELIEFKIT_LIBRARY")
    if override:
        tried.append(("RELIEFKIT_LIBRARY", override))
    tried.append(("the package's own copy", str(_OWN_COPY_DIR / _SONAME)))
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
    raise LibraryNotFoundError(
        "cannot load the reliefkit shared library; looked in:\n" + "\n".join(reasons) + "\n"
        "Install the package with `pip install --no-build-isolation ./python` from the "
        "repository (it builds and carries its own copy), install the library system-wide, "
        "or name the file in RELIEFKIT_LIBRARY."
    )


lib, library_path = _load()


class ImgbufRecord(ctypes.Structure):
    """The library's 32-byte image record (x86-64 layout, fixed by the library's interface):
    two guard words around width, height and the 16-byte-aligned pixel block."""

    _fields_ = [
        ("head_guard", ctypes.c_uint32),
        ("width", ctypes.c_uint32),
        ("height", ctypes.c_uint32),
        ("pixels", ctypes.c_void_p),
        ("tail_guard", ctypes.c_uint32),
    ]


assert ctypes.sizeof(ImgbufRecord) == 32, "the image record is 32 bytes on this platform"
HEAD_GUARD = 0x49CEBAFD
TAIL_GUARD = 0xBAFD49CE

_img = ctypes.c_void_p  # imgbuf*, opaque: only records built here are looked into
_u32, _i32, _f = ctypes.c_uint32, ctypes.c_int32, ctypes.c_float
_wstr = ctypes.c_void_p  # char16_t*: a UTF-16LE buffer with a terminating 0

SINK = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)

_PROTOTYPES = {
    "init": (None, []),
    "create_imgbuf": (_img, [_u32, _u32]),
    "delete_imgbuf": (None, [_img]),
    "imgbuf_w": (_u32, [_img]),
    "imgbuf_h": (_u32, [_img]),
    "imgbuf_buf": (ctypes.c_void_p, [_img]),
    "imgbuf_resample": (_img, [_img, _u32, _u32]),
    "load_image": (_img, [_wstr]),
    "core_saveimage_png": (None, [_wstr, _i32, _wstr, _img]),
    "core_saveimage_nmap_png": (None, [_wstr, _i32, _wstr, _img, _i32, _i32, _i32]),
    "calc_heightmap_from_photo_ex": (
        _img, [_img, _u32, _u32, _f, _f, _f, _u32, _f, _f, _f, _f, _u32, _u32, _u32]),
    "calc_normalmap_from_heightmap_ex": (_img, [_img, _i32, _i32, _u32, _u32, _u32, _u32, _u32]),
    "set_debug_output": (None, [SINK, ctypes.c_void_p]),
    # Later additions: bound when the loaded library has them.
    "set_thread_count": (None, [_u32]),
    "get_thread_count": (_u32, []),
    "make_tileable": (_img, [_img, _f]),
    "save_png_ex": (None, [_wstr, _i32, _wstr, _img, _u32, _u32, _i32, _i32, _i32]),
}


def _bind(name: str):
    try:
        fn = getattr(lib, name)
    except AttributeError:
        return None
    fn.restype, fn.argtypes = _PROTOTYPES[name]
    return fn


_functions = {name: _bind(name) for name in _PROTOTYPES}


def optional(name: str):
    """The export, or None when the loaded library predates it."""
    return _functions[name]


def require(name: str):
    """The export; NotImplementedError naming it when the loaded library lacks it."""
    fn = _functions[name]
    if fn is None:
        raise NotImplementedError(
            f"the loaded reliefkit library ({library_path}) has no export {name}(); "
            "it needs a newer build of the library"
        )
    return fn
