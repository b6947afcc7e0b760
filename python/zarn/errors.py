# SPDX-License-Identifier: MIT
"""Every failure the package reports is a subclass of :class:`Error`.

Each status of libzarn-client has one class here, and its message is the
library's: one line naming the printer address, the file or the argument
concerned, so a script can print ``str(error)`` as it is.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .status import Outcome, Status


class Error(Exception):
    """Base class of every error raised by :mod:`zarn`."""


class LibraryError(Error):
    """``libzarn.so.1`` or ``libzarn-raster.so.1`` could not be loaded."""


class ArgumentError(Error, ValueError):
    """A value the printer cannot take (out of range, an embedded NUL, a
    line longer than the library sends)."""


class ArgumentTypeError(ArgumentError, TypeError):
    """An argument of the wrong type."""


class AddressError(ArgumentError):
    """A printer address, threshold, page list or label size text that
    cannot be understood."""


class UploadNameError(ArgumentError):
    """A name the printer cannot store a file under: a double quote or a
    line break in it, or too long for the ``DOWNLOAD`` header."""


class NoMemoryError(Error, MemoryError):
    """The library ran out of memory."""


class ConnectError(Error):
    """The printer could not be opened: no device, no permission, unknown
    host, refused connection, a serial device that is not a terminal."""


class BusyError(Error):
    """Another :class:`~zarn.Printer` is open in this process (the library
    holds one connection per process)."""


class ClosedError(Error):
    """The :class:`~zarn.Printer` was used after :meth:`~zarn.Printer.close`,
    or its connection was closed from outside."""


class OtherProcessError(ClosedError):
    """The :class:`~zarn.Printer` was opened in another process: a child
    after :func:`os.fork` shares the parent's connection, and would read
    the parent's answers, so it neither uses nor closes it."""


class SendError(Error):
    """Bytes could not be sent to the printer."""


class ReplyError(Error):
    """The printer did not answer a query: ``reply`` is the
    :class:`~zarn.Reply` kind (no reply, receive failed, disconnected)."""

    reply = None


class FileError(Error):
    """A local file (to upload, print, or a font) cannot be read or used."""


class PictureError(Error):
    """A picture or PDF that cannot be printed: not a format the raster
    library reads, damaged, too large, or no such page."""


class BudgetError(PictureError):
    """A page needs more CPU time or memory to decode and render than its
    budget (``max_seconds``, ``max_bytes``; by default 10 s and 256 MiB)."""


class WaitError(Error):
    """Waiting for a label ended without it being printed.

    ``status`` is the last :class:`~zarn.Status` read and ``outcome`` the
    :class:`~zarn.Outcome` it stands for.
    """

    def __init__(self, message: str, status: Status, outcome: Outcome) -> None:
        super().__init__(message)
        self.status = status
        self.outcome = outcome


class PaperOut(WaitError):
    """The printer is out of paper (labels)."""


class RibbonOut(WaitError):
    """The printer is out of ribbon."""


class PaperJam(WaitError):
    """The paper is jammed."""


class HeadOpen(WaitError):
    """The print head or the cover is open."""


class HeadTemperature(WaitError):
    """The print head's temperature is out of range."""


class Paused(WaitError):
    """The printer is paused (at its panel or by a command)."""


class NoReply(WaitError, ReplyError):
    """Waiting ended because the printer did not answer (nothing within the
    reply timeout, the receive failed, or it disconnected)."""


class Timeout(WaitError):
    """The printer was still printing when the time-out ran out."""
