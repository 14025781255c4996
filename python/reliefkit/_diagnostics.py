"""The library's diagnostics, gathered per call and per thread.

The library has one process-wide sink, but calls it on the thread that made the
call that failed. A list set for the current thread during a call therefore
gathers exactly that call's texts, even while other threads call the library.
"""

from __future__ import annotations

import contextlib
import threading

from . import _native

_local = threading.local()


@_native.SINK
def _collect(text, _user):
    # Runs inside the library: it must not raise, so texts outside a capture are dropped.
    into = getattr(_local, "texts", None)
    if into is not None and text is not None:
        into.append(text.decode("utf-8", "replace"))


def install() -> None:
    """(Re)installs this module's sink, e.g. after another host replaced it."""
    _native.require("set_debug_output")(_collect, None)


@contextlib.contextmanager
def captured():
    """While active, the current thread's diagnostics go into the list it yields."""
    previous = getattr(_local, "texts", None)
    texts: list[str] = []
    _local.texts = texts
    try:
        yield texts
    finally:
        _local.texts = previous


class ReliefkitError(RuntimeError):
    """A library call failed; the message carries the library's diagnostics for that call,
    which are also in ``diagnostics``."""

    def __init__(self, headline: str, diagnostics=()):
        self.diagnostics = list(diagnostics)
        text = headline
        lines = [line.rstrip() for t in self.diagnostics for line in t.splitlines()]
        text += "".join("\n  " + line for line in lines if line.strip())
        super().__init__(text)
