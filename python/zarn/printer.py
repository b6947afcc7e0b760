# SPDX-License-Identifier: MIT
"""The printer connection, a handle of libzarn-client: opening by address,
the status and its reply kinds, waiting, queries, uploads and printing
pictures are the host layer's, the same for the zarn command and zarn.hpp.
The label commands (setup, text, barcode, ...) are libzarn's own calls on
that connection."""

from __future__ import annotations

import contextlib
import ctypes
import math
import os
from typing import Any, Callable, Iterable

from . import _lib, raster
from .address import Address
from .errors import (
    ArgumentError,
    ArgumentTypeError,
    ClosedError,
    HeadOpen,
    HeadTemperature,
    NoReply,
    OtherProcessError,
    PaperJam,
    PaperOut,
    Paused,
    RibbonOut,
    SendError,
    Timeout,
    WaitError,
)
from .status import Outcome, Reply, Status

#: How long status and queries wait for the printer's first byte on TCP and
#: serial unless the Printer is given another reply_timeout.
REPLY_TIMEOUT_SECONDS = 2.0
#: libzarn's own limit for one USB transfer, which the reply timeout cannot shorten.
REPLY_WAIT_SECONDS = 10.0
# Longest lines the library sends whole; it cuts longer ones.
_MAX_SETUP_LINE, _MAX_TEXT_LINE, _MAX_BARCODE_LINE, _MAX_PRINT_LINE = 99, 499, 1023, 49

# Bitmaps print_file keeps between checking every page and sending them,
# as zarn print keeps them (some 2000 labels of 4 x 6 in at 203 dpi).
_KEPT_BYTES = 256 << 20

#: Told (done, total) bytes after each piece of a send.
ProgressCallback = Callable[[int, int], None]

_EXCEPTION_OF_OUTCOME: dict[Outcome, type[WaitError]] = {
    Outcome.PAPER_OUT: PaperOut,
    Outcome.RIBBON_OUT: RibbonOut,
    Outcome.PAPER_JAM: PaperJam,
    Outcome.HEAD_OR_COVER_OPEN: HeadOpen,
    Outcome.TEMPERATURE: HeadTemperature,
    Outcome.PAUSED: Paused,
    Outcome.NO_REPLY: NoReply,
    Outcome.TIMED_OUT: Timeout,
}


def about() -> str:
    """The library's version text, without its line break."""
    return _lib.library().about().decode("ascii", "replace").rstrip("\r\n")


# ---- Argument checks: every value is checked before anything is sent ----


def _text(name: str, value: Any) -> bytes:
    return _lib.text(name, value)


def _field(name: str, value: Any) -> bytes:
    """Text that goes inside one command line between quotes."""
    return _lib.text(name, value, lines=False)


def _dots(name: str, value: Any, minimum: int = 0, maximum: int | None = None) -> bytes:
    """A whole number; without a maximum of its own, still one a C int holds."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise ArgumentTypeError(f"{name} is a whole number of dots, not {type(value).__name__}")
    if maximum is not None and not minimum <= value <= maximum:
        raise ArgumentError(f"{name} must be {minimum} to {maximum}, not {_lib.shown(value)}")
    if value < minimum:
        raise ArgumentError(f"{name} must be {minimum} or more, not {_lib.shown(value)}")
    if value > _lib.INT_MAX:
        raise ArgumentError(f"{name} must be at most {_lib.INT_MAX}, not {_lib.shown(value)}")
    return str(value).encode()


def _number(name: str, value: Any, minimum: float = 0.0, inclusive: bool = True) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ArgumentTypeError(f"{name} is a number, not {type(value).__name__}")
    try:
        finite = math.isfinite(value)
    except OverflowError:  # an int past any float
        finite = False
    if not finite or value < minimum or (not inclusive and value == minimum):
        raise ArgumentError(
            f"{name} must be a number {'at least' if inclusive else 'more than'} {minimum:g}, not {_lib.shown(value)}"
        )
    return float(value)


def _measure(name: str, value: Any, minimum: float = 0.0, inclusive: bool = True) -> bytes:
    """A number for the command language: 100 -> "100", 50.8 -> "50.8"."""
    _number(name, value, minimum, inclusive)
    if isinstance(value, int):
        return str(value).encode()
    return (f"{value:.4f}".rstrip("0").rstrip(".") or "0").encode()


def _rotation(value: Any) -> bytes:
    if isinstance(value, bool) or value not in (0, 90, 180, 270):
        raise ArgumentError(f"rotation must be 0, 90, 180 or 270 (degrees clockwise), not {_lib.shown(value)}")
    return str(int(value)).encode()


def _quoted(data: bytes) -> bytes:
    # The command language's escape for a double quote inside a quoted text.
    return data.replace(b'"', b'\\["]')


def _checked_line(line: bytes, limit: int) -> bytes:
    if len(line) > limit:
        raise ArgumentError(f"the command line would be {len(line)} bytes; the library sends at most {limit}")
    return line


class Printer:
    """A connection to one label printer.

    ``address`` is ``"usb"``, ``"serial:ttyUSB0?baud=9600"``,
    ``"tcp://HOST[:PORT]"`` (see :class:`Address`), or None for
    ``$ZARN_PRINTER`` and else ``"usb"``, as the ``zarn`` command takes it.
    Use it as a context manager so the connection is closed::

        with zarn.Printer("tcp://printer.local") as p:
            p.send("SELFTEST")

    The library holds one connection per process: a second open Printer
    raises :class:`BusyError`. One thread at a time should use a Printer;
    calls into the library are serialised all the same. A Printer belongs
    to the process that opened it: in a child after :func:`os.fork` every
    call raises :class:`OtherProcessError`, and closing it there leaves the
    parent's connection open. Raises :class:`AddressError`,
    :class:`ConnectError`, :class:`BusyError`.

    ``reply_timeout`` is how long, in seconds, the status and queries wait
    for the printer's first byte on TCP and serial before the answer is
    "no reply" (USB has the library's own 10 s limit). ``poll_interval`` is
    the pause between status polls while waiting for a label to print.
    """

    def __init__(
        self,
        address: str | Address | None = None,
        *,
        poll_interval: float = 0.25,
        reply_timeout: float = REPLY_TIMEOUT_SECONDS,
    ) -> None:
        self._handle: int | None = None
        self._last: Status | None = None
        # A child after os.fork() has a copy of the connection's socket:
        # its calls would read the parent's answers.
        self._pid = os.getpid()
        if address is None:
            address = os.environ.get("ZARN_PRINTER") or "usb"
        if isinstance(address, Address):
            self._address = address
        else:
            self._address = Address.parse(address)
        self._described = self._address.text
        # 0 would mean the host layer's default pause.
        self._poll_ms = max(1, _milliseconds("poll_interval", poll_interval))
        self._timeout_ms = _milliseconds("reply_timeout", reply_timeout)
        self._client = _lib.client()
        self._lib = _lib.library()
        c = self._address.to_c()
        handle = ctypes.c_void_p()
        with _lib.lock:
            _lib.check(self._client.open_address(ctypes.byref(c), ctypes.byref(handle)))
            self._handle = handle.value
            self._described = self._client.describe(self._handle).decode("utf-8", "replace")
            try:
                _lib.check(self._client.set_reply_timeout(self._handle, self._timeout_ms))
            except BaseException:
                self.close()
                raise

    # ---- The connection ----

    @property
    def address(self) -> Address:
        """The printer's address."""
        return self._address

    @property
    def is_open(self) -> bool:
        """True until :meth:`close`, and only in the process that opened it."""
        return self._handle is not None and self._pid == os.getpid()

    @property
    def last_status(self) -> Status | None:
        """The last status a wait read: the conditions behind its outcome
        (None before the first wait)."""
        return self._last

    @property
    def reply_timeout(self) -> float:
        """Seconds the status and queries wait for the first byte of an answer."""
        return self._timeout_ms / 1000

    @reply_timeout.setter
    def reply_timeout(self, seconds: float) -> None:
        ms = _milliseconds("reply_timeout", seconds)
        with _lib.lock:
            _lib.check(self._client.set_reply_timeout(self._h(), ms))
            self._timeout_ms = ms

    def describe(self) -> str:
        """The address, and for a host name the IPv4 address it reached."""
        return self._described

    def close(self) -> None:
        """Closes the connection; the Printer can then not be used again. In
        a process forked from the one that opened it, it only forgets the
        connection, which stays the parent's and open."""
        with _lib.lock:
            if self._handle is not None:
                if self._pid == os.getpid():
                    self._client.close(self._handle)
                self._handle = None

    def __enter__(self) -> Printer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # interpreter shutdown: the modules may be gone
            pass

    def __repr__(self) -> str:
        return f"<zarn.Printer {self.describe()} {'open' if self.is_open else 'closed'}>"

    def _h(self) -> int:
        # The handle is freed on close, so a closed Printer has nothing to
        # ask the host layer with.
        if self._handle is None:
            raise ClosedError(f"the printer connection to {self._address.text} is closed")
        if self._pid != os.getpid():
            raise OtherProcessError(
                f"the printer connection to {self._described} was opened by process {self._pid}, "
                f"not this one ({os.getpid()}); a forked child cannot share it"
            )
        return self._handle

    def _sent(self, ok: int) -> None:
        if ok != 1:
            raise SendError(f"cannot send to the printer at {self.describe()}")

    def _call(self, function, *args) -> None:
        """Calls a host layer function on the handle and raises its failure."""
        with _lib.lock:
            _lib.check(function(self._h(), *args))

    def _call_reporting(self, function, *args, progress: ProgressCallback | None) -> None:
        """The same for a function that reports progress."""
        reporter = _lib.Reporter(progress)
        self._call(function, *args, reporter.c, None)
        reporter.raise_error()

    # ---- Sending ----

    def send(self, line: str | bytes) -> None:
        """Sends one command line of the printer's language; CR LF is added.
        A str goes as UTF-8, bytes unchanged. Raises :class:`SendError`."""
        self._call(self._client.send, _text("line", line))

    def send_bytes(self, data: bytes | bytearray | memoryview, *, progress: ProgressCallback | None = None) -> None:
        """Sends bytes unchanged (any bytes; nothing is added). ``progress``
        is told ``(done, total)`` after each piece."""
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise ArgumentTypeError(f"data is bytes, bytearray or memoryview, not {type(data).__name__}")
        # tobytes, unlike a cast, takes a view that is not contiguous too.
        raw = memoryview(data).tobytes()
        self._call_reporting(self._client.send_binary, raw, len(raw), progress=progress)

    def setup(
        self,
        width_mm: float,
        height_mm: float,
        *,
        speed: float = 4,
        density: int = 8,
        gap_mm: float = 3,
        gap_offset_mm: float = 0,
        black_line: bool = False,
    ) -> None:
        """Sets the label size, print speed (inches per second), darkness
        (0 to 15) and the gap between labels, or with ``black_line`` the
        black mark: ``SIZE``, ``SPEED``, ``DENSITY``, then ``GAP`` or ``BLINE``."""
        w = _measure("width_mm", width_mm, inclusive=False)
        h = _measure("height_mm", height_mm, inclusive=False)
        s = _measure("speed", speed, inclusive=False)
        d = _dots("density", density, 0, 15)
        g, o = _measure("gap_mm", gap_mm), _measure("gap_offset_mm", gap_offset_mm)
        if not isinstance(black_line, bool):
            raise ArgumentTypeError(f"black_line is True or False, not {type(black_line).__name__}")
        for line in (b"SIZE %s mm,%s mm" % (w, h), b"SPEED " + s, b"GAP %s mm,%s mm" % (g, o)):
            _checked_line(line, _MAX_SETUP_LINE)
        with _lib.lock:
            self._h()
            self._sent(self._lib.setup(w, h, s, d, b"1" if black_line else b"0", g, o))

    def clear(self) -> None:
        """Clears the printer's image buffer (``CLS``): a new label."""
        with _lib.lock:
            self._h()
            self._sent(self._lib.clearbuffer())

    def text(
        self,
        x: int,
        y: int,
        content: str | bytes,
        *,
        font: str | int = "3",
        rotation: int = 0,
        x_mul: int = 1,
        y_mul: int = 1,
    ) -> None:
        """Draws text in a printer font at (x, y) dots (``TEXT``). Double
        quotes in the content are escaped; a content beginning with ``@``
        names a printer variable and goes in unquoted."""
        args = (
            _dots("x", x),
            _dots("y", y),
            _field("font", _dots("font", font).decode() if isinstance(font, int) and not isinstance(font, bool) else font),
            _rotation(rotation),
            _dots("x_mul", x_mul, 1, 10),
            _dots("y_mul", y_mul, 1, 10),
            _quoted(_field("content", content)),
        )
        self._draw("font", b'TEXT %s,%s,"%s",%s,%s,%s,"%s"', args, _MAX_TEXT_LINE, self._lib.printerfont)

    def barcode(
        self,
        x: int,
        y: int,
        content: str | bytes,
        *,
        kind: str = "128",
        height: int = 80,
        readable: bool | int = True,
        rotation: int = 0,
        narrow: int = 2,
        wide: int = 2,
    ) -> None:
        """Draws a linear barcode at (x, y) dots (``BARCODE``): ``kind`` is
        the printer's symbology name ("128", "39", "EAN13", ...), ``height``
        in dots, ``readable`` the text under it (True, or 1/2/3 for left,
        centre, right), ``narrow``/``wide`` the element widths in dots."""
        if isinstance(readable, bool):
            readable = int(readable)
        args = (
            _dots("x", x),
            _dots("y", y),
            _field("kind", kind),
            _dots("height", height, 1),
            _dots("readable", readable, 0, 3),
            _rotation(rotation),
            _dots("narrow", narrow, 1),
            _dots("wide", wide, 1),
            _quoted(_field("content", content)),
        )
        self._draw("kind", b'BARCODE %s,%s,"%s",%s,%s,%s,%s,%s,"%s"', args, _MAX_BARCODE_LINE, self._lib.barcode)

    def _draw(self, name: str, line: bytes, args: tuple[bytes, ...], limit: int, function) -> None:
        """Sends a drawing command through the library's function, whose
        third field (the font or kind, named name) goes in quotes; line is
        the command the function makes of args."""
        if b'"' in args[2]:
            raise ArgumentError(f"{name} cannot contain a double quote")
        _checked_line(line % args, limit)
        with _lib.lock:
            self._h()
            self._sent(function(*args))

    def text_bitmap(self, x: int, y: int, text: str, *, font: str | os.PathLike[str], size: int) -> None:
        """Draws text (UTF-8) with a TrueType font file at ``size`` points
        as a bitmap at (x, y) dots. Raises :class:`FileError` for a font that
        cannot be read or used, or a text that renders to nothing."""
        args = (int(_dots("x", x)), int(_dots("y", y)), int(_dots("size", size, 1)))
        self._call(self._client.text_bitmap, *args, _path("font", font), _text("text", text))

    def image(
        self,
        source: raster.Source,
        x: int = 0,
        y: int = 0,
        *,
        page: int = 1,
        width_mm: float | None = None,
        height_mm: float | None = None,
        dpi: int = 203,
        dither: str = "floyd-steinberg",
        threshold: float | str = 0.5,
        rotate: int | str = 0,
        fit: str = "contain",
        max_seconds: float | None = None,
        max_bytes: int | None = None,
        progress: ProgressCallback | None = None,
    ) -> None:
        """Draws a picture or PDF page (a path or the file's bytes) or a
        Pillow image at (x, y) dots on the current label (``BITMAP``). Every
        row goes, paper included, so its white covers what is drawn under it.

        Without ``width_mm``/``height_mm`` it prints one pixel a dot (a PDF
        page at its size); with them it is fitted into that box. The other
        options are those of ``zarn print`` (see :func:`zarn.render`).
        """
        xd, yd = int(_dots("x", x)), int(_dots("y", y))
        self._h()
        with raster.render(
            source,
            page=page,
            width_mm=width_mm,
            height_mm=height_mm,
            dpi=dpi,
            dither=dither,
            threshold=threshold,
            rotate=rotate,
            fit=fit,
            max_seconds=max_seconds,
            max_bytes=max_bytes,
        ) as bitmap:
            self._call_reporting(self._client.draw_bitmap, bitmap._h(), xd, yd, progress=progress)

    def print(self, copies: int = 1, *, sets: int = 1, wait: bool = False, timeout: float = 60.0) -> None:
        """Prints the label (``PRINT sets,copies``). With ``wait`` it then
        waits up to ``timeout`` seconds until the label is out and raises
        :class:`PaperOut`, :class:`HeadOpen`, ... (see :meth:`wait`)."""
        line = b"PRINT %s,%s" % (_dots("sets", sets, 1), _dots("copies", copies, 1))
        _checked_line(line, _MAX_PRINT_LINE)
        if wait:
            _number("timeout", timeout)
        with _lib.lock:
            self._h()
            self._sent(self._lib.printlabel(_dots("sets", sets, 1), _dots("copies", copies, 1)))
        if wait:
            self.wait(timeout)

    def print_file(
        self,
        source: raster.Source,
        *,
        pages: int | str | Iterable[int] | None = None,
        copies: int = 1,
        width_mm: float | None = None,
        height_mm: float | None = None,
        dpi: int = 203,
        dither: str = "floyd-steinberg",
        threshold: float | str = 0.5,
        rotate: int | str = 0,
        fit: str = "contain",
        max_seconds: float | None = None,
        max_bytes: int | None = None,
        wait: bool = False,
        timeout: float = 60.0,
        progress: ProgressCallback | None = None,
    ) -> None:
        """Prints a picture or PDF (a path or the file's bytes) or a Pillow
        image, each page as its own label: ``SIZE`` (the label's), ``CLS``,
        ``BITMAP`` and ``PRINT 1,copies``, as ``zarn print`` does.

        ``pages`` selects PDF pages as ``zarn print --pages`` does: 3,
        ``"1-3,5,7-"`` (7- runs to the end) or a list, range or other
        iterable, printed in the file's order and each once; default all. A
        page past the end is refused before anything is rendered. Every
        page renders before the first is sent; as ``zarn print`` does, the
        first 256 MiB of bitmaps are kept and later pages are rendered again
        in their turn, so memory stays bounded however long the file is.
        ``width_mm`` x ``height_mm`` is
        the label (default: the picture's own size). With ``wait`` it waits
        for each page to print before the next and raises as :meth:`wait`
        does. ``progress`` is told ``(done, total)`` bytes of each page's
        BITMAP. ``max_seconds`` and ``max_bytes`` are each page's budget (see
        :func:`zarn.render`); past it, :class:`BudgetError`.
        """
        o = raster.options(
            width_mm=width_mm,
            height_mm=height_mm,
            dpi=dpi,
            dither=dither,
            threshold=threshold,
            rotate=rotate,
            fit=fit,
            max_seconds=max_seconds,
            max_bytes=max_bytes,
        )
        n = int(_dots("copies", copies, 1))
        if wait:
            _number("timeout", timeout)
        self._h()
        with raster.Pages(source, pages, o) as job:
            # Every page is rendered before the first is sent, so a damaged
            # page leaves nothing half printed. As zarn print does, the first
            # _KEPT_BYTES of bitmaps are kept for the send and the rest are
            # rendered again when their turn comes.
            kept: list[raster.Bitmap | None] = []
            try:
                size = 0
                for page in job.numbers:
                    bitmap = job.render(page)
                    size += bitmap.bytes_per_row * bitmap.height
                    if size > _KEPT_BYTES:
                        bitmap.close()
                        bitmap = None
                    kept.append(bitmap)
                for i, page in enumerate(job.numbers):
                    bitmap, kept[i] = kept[i] or job.render(page), None
                    try:
                        self._call_reporting(self._client.print_bitmap, bitmap._h(), n, progress=progress)
                    finally:
                        bitmap.close()
                    if wait:
                        self.wait(timeout)
            finally:
                for bitmap in kept:
                    if bitmap is not None:
                        bitmap.close()

    def feed(self) -> None:
        """Feeds one blank label (``FORMFEED``)."""
        with _lib.lock:
            self._h()
            self._sent(self._lib.formfeed())

    def no_backfeed(self) -> None:
        """Turns the striper and tear-off back-feed off."""
        with _lib.lock:
            self._h()
            self._sent(self._lib.nobackfeed())

    def upload(
        self,
        path: str | os.PathLike[str],
        name: str | bytes | None = None,
        *,
        progress: ProgressCallback | None = None,
    ) -> None:
        """Stores the file at ``path`` in the printer as ``name`` (default:
        the file's own name) with ``DOWNLOAD``. Raises
        :class:`UploadNameError` for a name the printer cannot take, before
        anything is sent, and :class:`FileError` for a file that cannot be read."""
        p = _path("path", path)
        as_name = _text("name", os.path.basename(os.fsdecode(p)) if name is None else name)
        self._call_reporting(self._client.upload, p, as_name, progress=progress)

    # ---- Asking ----

    def status(self, *, timeout: float | None = None) -> Status:
        """The printer's status with the kind of reply it was: answered, no
        reply (nothing within the reply timeout, or ``timeout`` seconds for
        this one request), receive failed or disconnected."""
        ms = None if timeout is None else _milliseconds("timeout", timeout)
        c = _lib.ClientStatus()
        with _lib.lock:
            h = self._h()
            if ms is not None:
                _lib.check(self._client.set_reply_timeout(h, ms))
            try:
                _lib.check(self._client.status_get(h, ctypes.byref(c)))
            finally:
                if ms is not None:
                    self._client.set_reply_timeout(h, self._timeout_ms)
        return Status.from_c(c)

    def _ask(self, function, *args) -> str:
        reply, text = ctypes.c_int(0), ctypes.c_void_p()
        with _lib.lock:
            code = function(self._h(), *args, ctypes.byref(reply), ctypes.byref(text))
            _lib.check(code, reply=Reply(reply.value))
            return self._client.take(text.value).decode("utf-8", "replace")

    def query(self, command: str | bytes) -> str:
        """Sends a command and returns what the printer printed back (up to
        the library's end marker), for example ``query('OUT _MODEL$')``.
        Raises :class:`ReplyError`, whose ``reply`` says how it did not answer."""
        return self._ask(self._client.query, _text("command", command))

    def name(self) -> str:
        """The printer's model name."""
        return self._ask(self._client.name)

    def serial(self) -> str:
        """The printer's serial number."""
        return self._ask(self._client.serial)

    # ---- Waiting ----

    def _wait(self, timeout: float) -> tuple[Outcome, Status]:
        ms = _milliseconds("timeout", timeout)
        last, outcome = _lib.ClientStatus(), ctypes.c_int()
        self._call(self._client.wait, ms, self._poll_ms, ctypes.byref(last), ctypes.byref(outcome))
        self._last = Status.from_c(last)
        return Outcome(outcome.value), self._last

    def wait_until_printed(self, timeout: float = 60.0) -> Outcome:
        """Polls the status until the printing bit clears, a fault shows, the
        printer stops answering, or ``timeout`` seconds pass; returns how it
        ended, and :attr:`last_status` what it last read. :meth:`wait`
        raises instead."""
        return self._wait(timeout)[0]

    def wait(self, timeout: float = 60.0) -> None:
        """Waits as :meth:`wait_until_printed` does and returns once the
        label is printed; otherwise raises :class:`PaperOut`,
        :class:`RibbonOut`, :class:`PaperJam`, :class:`HeadOpen` (head or
        cover), :class:`HeadTemperature`, :class:`Paused`, :class:`NoReply`
        or :class:`Timeout`, each carrying the last ``status``."""
        outcome, status = self._wait(timeout)
        if outcome is Outcome.PRINTED:
            return
        where = self.describe()
        if outcome is Outcome.TIMED_OUT:
            message = f"the printer at {where} was still printing after {timeout:g} s"
        elif outcome is Outcome.NO_REPLY:
            message = f"the printer at {where} did not answer the status request ({status.text})"
        else:
            message = f"the label did not print: {status.text} (printer at {where})"
        error = _EXCEPTION_OF_OUTCOME[outcome](message, status, outcome)
        if isinstance(error, NoReply):
            error.reply = status.reply
        raise error


def check_upload_name(name: str | bytes, size: int = 0) -> None:
    """Raises :class:`UploadNameError` with the reason when the printer
    cannot store a file of size bytes under name, as :meth:`Printer.upload` would."""
    if isinstance(size, int) and not isinstance(size, bool) and _lib.INT_MAX < size <= _lib.SIZE_MAX:
        size_t = size  # a size_t, wider than the C int _dots stops at
    else:
        size_t = int(_dots("size", size))
    _lib.check(_lib.client().upload_name_check(_text("name", name), size_t))


def _milliseconds(name: str, seconds: Any) -> int:
    """Seconds as the whole milliseconds the host layer takes (a C int)."""
    if _number(name, seconds) > _lib.INT_MAX / 1000:
        raise ArgumentError(f"{name} must be at most {_lib.INT_MAX / 1000:.3f} s, not {_lib.shown(seconds)}")
    return int(round(seconds * 1000))


def _path(name: str, value: Any) -> bytes:
    return _lib.path(name, value)
