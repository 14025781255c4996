"""make_maps: the command's batch over a list of files, as one function that a
thread pool, a process pool or a Dask cluster can map.

It makes the library calls the command makes, in the same order and with the
same defaults, so that its files equal the command's byte for byte; it names and
checks outputs as ``reliefkit --from-list`` does and shares a list out as
``--shard K/N`` does. Its records are the command's ``--report`` lines.
"""

from __future__ import annotations

import errno
import inspect
import io
import numbers
import os
import posixpath
import stat
import time
from typing import Iterable, List, Optional, Tuple

_IMAGE_PARAMETERS = {"photo", "height"}  # the generators' images, not options
_MOST_PIXELS = 268435455  # RK_MAX_IMAGE_PIXELS, which --resize is held to


def _mirrored(listed: str) -> str:
    """The listed path in lexical normal form without its root and leading "..":
    the folder tree its maps mirror under the output folder."""
    parts = [p for p in posixpath.normpath(listed).split("/") if p not in ("", ".")]
    while parts and parts[0] == "..":
        parts.pop(0)
    return "/".join(parts)


def _stem(path: str, from_height: bool) -> str:
    # The command's rule (std::filesystem's stem): the name up to its last dot,
    # unless that dot begins it (".hidden") or the name is "." or "..";
    # os.path.splitext would keep every leading dot ("..png" whole, not ".").
    name = os.path.basename(path)
    dot = name.rfind(".")
    stem = name if dot <= 0 or name in (".", "..") else name[:dot]
    if from_height and len(stem) > len("_height") and stem.endswith("_height"):
        stem = stem[:-len("_height")]
    return stem


def _xxh3(path: str) -> str:
    import xxhash  # Debian's python3-xxhash, the binding of the command's libxxhash
    hasher = xxhash.xxh3_128()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            hasher.update(chunk)
    return hasher.hexdigest()


def shard_of(key: str, count: int) -> int:
    """The part (1..count) of a file known by ``key``, its path relative to the list,
    as ``reliefkit --shard`` computes it: XXH3-64 of the key modulo count, plus one."""
    import xxhash
    if not (isinstance(count, numbers.Integral) and not isinstance(count, bool) and count >= 1):
        raise ValueError(f"shard_of takes a count of 1 or more, not {count!r}")
    return xxhash.xxh3_64_intdigest(os.fsencode(key)) % count + 1


def _identity(path: str):
    """(device, inode) of an existing file, the same under each of its hard links; else None."""
    try:
        found = os.stat(path)
    except (OSError, ValueError):
        return None
    return found.st_dev, found.st_ino


def _unopenable(path: str) -> Optional[str]:
    """The command's words for an input that cannot even be opened, else None: the
    readers' reasons do not tell a missing or unreadable file from a broken one."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):  # a FIFO would block the open below
            return f"cannot read {path}: not a regular file"
        with open(path, "rb"):
            return None
    except OSError as e:
        why = "no such file" if e.errno == errno.ENOENT else e.strerror or str(e)
        return f"cannot read {path}: {why}"


def _plans(inputs: List[str], out_dir: str, height_only: bool, from_height: bool):
    """(input, key, outputs, refusal) per distinct input, in order, as the command
    plans them: an input is refused when an output would replace an input file (by
    place or, through a hard link, by identity) or a file that an earlier input writes."""
    places = {os.path.realpath(p) for p in inputs}
    files = {_identity(p) for p in inputs} - {None}
    claimed, seen, plans = {}, set(), []
    for path in inputs:
        if os.path.realpath(path) in seen:
            continue
        seen.add(os.path.realpath(path))
        key = _mirrored(path)
        stem, folder = _stem(path, from_height), os.path.join(out_dir, posixpath.dirname(key))
        kinds = ([] if from_height else ["height"]) + ([] if height_only else ["normal"])
        outputs = [os.path.join(folder, f"{stem}_{kind}.png") for kind in kinds]
        refusal = "it names no file" if not stem else None
        for out in outputs if refusal is None else []:
            place = os.path.realpath(out)
            if place in places or _identity(out) in files:
                refusal = f"its output {out} would overwrite an input file"
            elif place in claimed:
                refusal = f"its output {out} is also written for {claimed[place]}"
            if refusal:
                break
        if refusal is None:
            claimed.update((os.path.realpath(out), path) for out in outputs)
        plans.append((path, key, outputs, refusal))
    return plans


def make_maps(inputs: Iterable, out_dir=".", *, shard: Optional[Tuple[int, int]] = None,
              depth: int = 8, channels: str = "rgb", resize: Optional[Tuple[int, int]] = None,
              tileable: Optional[float] = None, seamless: bool = False, height_only: bool = False,
              from_height: bool = False, **options) -> List[dict]:
    """Makes the maps of every input as ``reliefkit --from-list LIST --out-dir out_dir``
    does with the same settings, and answers one record per input in list order, as
    the command's ``--report`` lines: ``{"input", "status": "made" | "failed",
    "outputs": [{"path", "xxh3"}], "seconds", "error": message or None}``. A failed
    input never stops the others. A name in an error is as Python has it (the
    command's report escapes a line break or control character in it).

    The maps of ``dir/wall.jpg`` are ``out_dir/dir/wall_height.png`` and
    ``..._normal.png`` (a leading / or ../ is dropped). ``shard=(k, n)`` makes only
    the k-th of n parts of the list (``--shard k/n``): give every worker the whole
    list and its own k, and the parts are disjoint, complete and the command's.
    ``options`` are those of heightmap() and normalmap(); ``depth`` and
    ``channels`` those of save_png(); ``resize=(w, h)`` and ``tileable=fraction``
    (0.01 to 0.5; implies ``seamless``) the command's --resize and --make-tileable.
    Needs the xxhash module (Debian: python3-xxhash) for the hashes."""
    import numpy as np

    from . import heightmap, load, make_tileable, normalmap, resample, save_png
    if isinstance(inputs, (str, bytes, os.PathLike)):
        raise TypeError("make_maps() takes a list of paths, not one path (read a list file's "
                        "lines first)")
    # Every record holds its outputs' hashes: without the module, the first
    # input's files would be written and then every record lost.
    try:
        import xxhash  # noqa: F401 - used by _xxh3
    except ImportError as e:
        raise ImportError("make_maps() needs the xxhash module for its outputs' hashes "
                          "(Debian: python3-xxhash)") from e
    height_keys = set(inspect.signature(heightmap).parameters) - _IMAGE_PARAMETERS
    normal_keys = set(inspect.signature(normalmap).parameters) - _IMAGE_PARAMETERS
    unknown = set(options) - height_keys - normal_keys
    if unknown:
        raise TypeError(f"make_maps() got unknown options: {', '.join(sorted(unknown))}")
    # Refused before any input, as the command refuses --shard 0/3: else every
    # shard would be empty, or none, without a word.
    if shard is not None:
        k, n = shard
        if not (isinstance(k, numbers.Integral) and isinstance(n, numbers.Integral)
                and not isinstance(k, bool) and not isinstance(n, bool) and 1 <= k <= n):
            raise ValueError(f"shard takes (k, n) with 1 <= k <= n, not {shard!r}")
    if height_only and from_height:  # no map left to make, as the command judges it
        raise ValueError("from_height and height_only each choose what is made; choose one")
    seamless = seamless or tileable is not None
    height_options = {k: v for k, v in options.items() if k in height_keys}
    normal_options = {k: v for k, v in options.items() if k in normal_keys}
    # What the command refuses as unheeded: heights read as they are, or no
    # normal map to shape.
    if from_height and height_options:
        raise ValueError("from_height reads heights as they are: leave out "
                         + ", ".join(sorted(height_options)))
    unheeded = sorted(normal_options) + (["channels"] if channels != "rgb" else [])
    if height_only and unheeded:
        raise ValueError("height_only writes no normal map: leave out " + ", ".join(unheeded))
    if resize is not None and not (len(resize) == 2 and all(
            isinstance(v, numbers.Integral) and not isinstance(v, bool) and 1 <= v <= 65535
            for v in resize) and resize[0] * resize[1] <= _MOST_PIXELS):
        raise ValueError(f"resize takes (w, h), each 1 to 65535, {_MOST_PIXELS} pixels at "
                         f"most, not {resize!r}")
    # make_tileable() takes narrower bands than the command's --make-tileable.
    if tileable is not None and not (isinstance(tileable, numbers.Real)
                                     and not isinstance(tileable, bool)
                                     and 0.01 <= tileable <= 0.5):
        raise ValueError(f"tileable takes a band width of 0.01 to 0.5, not {tileable!r}")
    # Every other setting the library would refuse for each input is refused
    # here, before any input is read or file written: a trial of the same
    # calls on a 4 x 4 grey picture meets the same checks.
    trial = np.full((4, 4, 3), 0.5, dtype=np.float32)
    if tileable is not None:
        make_tileable(trial, width_fraction=tileable)
    trial_height = trial if from_height else heightmap(trial, seamless=seamless,
                                                       **height_options)
    save_png(io.BytesIO(), trial_height, depth=depth, channels="r")
    if not height_only:
        save_png(io.BytesIO(), normalmap(trial_height, seamless=seamless, **normal_options),
                 depth=depth, channels=channels)
    paths = [os.fsdecode(os.fspath(p)) for p in inputs]
    out_dir = os.fsdecode(os.fspath(out_dir))
    # No file can have such a name; the command refuses such a list whole.
    for what, path in [("out_dir", out_dir)] + [("input", p) for p in paths]:
        if "\0" in path:
            raise ValueError(f"{what} {path!r} holds a NUL byte, which no file name can")
    records = []
    for path, key, outputs, refusal in _plans(paths, out_dir, height_only, from_height):
        if shard is not None and shard_of(key, shard[1]) != shard[0]:
            continue
        start, written, error = time.monotonic(), [], None
        try:
            if refusal:
                raise ValueError(f"{path} skipped: {refusal}")
            os.makedirs(os.path.dirname(outputs[0]) or ".", exist_ok=True)
            unopenable = _unopenable(path)
            if unopenable:
                raise OSError(unopenable)
            image = load(path)
            if resize:
                image = resample(image, *resize)
            if tileable is not None:
                image = make_tileable(image, width_fraction=tileable)
            height = image if from_height else heightmap(image, seamless=seamless,
                                                         **height_options)
            # Each file is hashed as soon as it is written: one gone by then fails
            # this input alone.
            if not from_height:
                save_png(outputs[0], height, depth=depth, channels="r")  # grey, as the command
                written.append({"path": outputs[0], "xxh3": _xxh3(outputs[0])})
            if not height_only:
                save_png(outputs[-1], normalmap(height, seamless=seamless, **normal_options),
                         depth=depth, channels=channels)
                written.append({"path": outputs[-1], "xxh3": _xxh3(outputs[-1])})
        except Exception as e:  # noqa: BLE001 - one input's failure is its record's error
            error = str(e) or type(e).__name__
        records.append({"input": path, "status": "failed" if error else "made",
                        "outputs": written, "seconds": time.monotonic() - start,
                        "error": error})
    return records

