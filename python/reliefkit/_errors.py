"""The exceptions of failed library calls: one class per rk_status, all under Error."""

from __future__ import annotations


class Error(OSError, RuntimeError):
    """A library call failed. ``status`` is its rk_status (a number), ``message`` the
    library's whole message for the call (rk_last_error(): every reason, one per
    line), ``str()`` a headline saying what the binding was doing with that message
    indented below it.

    An OSError, as a failed read or write of an image is; also a RuntimeError, which
    the failures of this package were before these classes."""

    status = None  #: the rk_status of the subclass; None for one this package does not know

    def __init__(self, message: str, headline: str = "", status=None):
        if status is not None:
            self.status = status
        self.message = message
        self.headline = headline
        lines = [line for line in message.splitlines() if line.strip()]
        text = headline + "".join("\n  " + line for line in lines) if headline else message
        super().__init__(text)

    @property
    def diagnostics(self) -> list:
        """The message's lines."""
        return [line for line in self.message.splitlines() if line.strip()]

    def __reduce__(self):  # pickled as its parts, e.g. on the way back from a worker process
        return (type(self), (self.message, self.headline, self.status))


class ArgumentError(Error, ValueError):
    """An argument the library cannot use (RK_ERROR_ARGUMENT)."""
    status = 1


class OutOfMemoryError(Error):
    """Memory ran out (RK_ERROR_MEMORY)."""
    status = 2


class FileError(Error):
    """A file could not be opened or read: missing, not permitted, not a regular file
    (RK_ERROR_IO)."""
    status = 3


class FormatError(Error):
    """The data is in no format the library reads (RK_ERROR_FORMAT)."""
    status = 4


class DamagedFileError(Error):
    """The data is in a format the library reads but damaged or cut short
    (RK_ERROR_DAMAGED)."""
    status = 5


class LimitError(Error):
    """Over a limit: too many pixels, a block too large (RK_ERROR_LIMIT)."""
    status = 6


class UnsupportedError(Error):
    """A variant of a known format that the library does not read
    (RK_ERROR_UNSUPPORTED)."""
    status = 7


class HelperError(Error):
    """The JPEG XR decoding helper failed: crashed, timed out, missing
    (RK_ERROR_HELPER)."""
    status = 8


class WriteError(Error):
    """An output could not be created, written or put in place (RK_ERROR_WRITE)."""
    status = 9


class AbortedError(Error):
    """The write function stopped a save (RK_ERROR_ABORTED)."""
    status = 10


class VersionError(Error):
    """A parameter struct newer than the loaded library (RK_ERROR_VERSION)."""
    status = 11


class InternalError(Error):
    """A fault inside the library (RK_ERROR_INTERNAL); please report it with the message."""
    status = 12


CLASSES = (ArgumentError, OutOfMemoryError, FileError, FormatError, DamagedFileError,
           LimitError, UnsupportedError, HelperError, WriteError, AbortedError, VersionError,
           InternalError)
_BY_STATUS = {cls.status: cls for cls in CLASSES}


def error_for(status: int, message: str, headline: str = "") -> Error:
    """The exception of a failed call: its status's class (Error for a status this
    package does not know)."""
    cls = _BY_STATUS.get(status)
    return cls(message, headline) if cls else Error(message, headline, status)
