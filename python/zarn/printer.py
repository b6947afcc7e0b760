# SPDX-License-Identifier: MIT
"""The printer connection: one :class:`Printer` per process, as the library
holds one connection per process."""

from __future__ import annotations

import contextlib
import ctypes
import math
import os
import select
import socket
import time
from typing import Any, Iterable

from . import _lib, raster
from .address import Address, Kind, SerialSettings
from .errors import (
    ArgumentError,
    ArgumentTypeError,
    BusyError,
    ClosedError,
    ConnectError,
    FileError,
    HeadOpen,
    HeadTemperature,
    NoReply,
    PaperJam,
    PaperOut,
    Paused,
    ReplyError,
    RibbonOut,
    SendError,
    Timeout,
    WaitError,
)
from .status import Outcome, Reply, Status, outcome_of

#: The library's wait for a reply (serial and TCP first byte, a USB transfer).
REPLY_WAIT_SECONDS = 10.0
# A call that took nearly the whole reply wait heard nothing.
_SILENT_SECONDS = REPLY_WAIT_SECONDS - REPLY_WAIT_SECONDS / 20
# The status request as the library sends it (sendcommand adds CR LF).
_STATUS_REQUEST = b"\x1b!?\r\n"
_RECEIVE_FAILED = b"Receive Failed\r\n"
# Longest lines the library sends whole; it cuts longer ones.
_MAX_SETUP_LINE, _MAX_TEXT_LINE, _MAX_BARCODE_LINE, _MAX_PRINT_LINE = 99, 499, 1023, 49
# sendBinaryData takes an int length.
_BINARY_PIECE = 1 << 30

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

# Whether a Printer holds the library's one connection (guarded by _lib.lock).
_taken = False


def about() -> str:
    """The library's version text, without its line break."""
    return _lib.library().about().decode("ascii", "replace").rstrip("\r\n")


# ---- Argument checks: every value is checked before anything is sent ----


def _text(name: str, value: Any) -> bytes:
    """A text argument: str as UTF-8, bytes unchanged, no NUL."""
    if isinstance(value, str):
        data = value.encode("utf-8")
    elif isinstance(value, (bytes, bytearray, memoryview)):
        data = bytes(value)
    else:
        raise ArgumentTypeError(f"{name} is a str or bytes, not {type(value).__name__}")
    if b"\0" in data:
        raise ArgumentError(f"{name} cannot contain a NUL byte (send_bytes sends any bytes)")
    return data


def _field(name: str, value: Any) -> bytes:
    """Text that goes inside one command line between quotes."""
    data = _text(name, value)
    if b"\r" in data or b"\n" in data:
        raise ArgumentError(f"{name} cannot contain a line break")
    return data


def _dots(name: str, value: Any, minimum: int = 0, maximum: int | None = None) -> bytes:
    if isinstance(value, bool) or not isinstance(value, int):
        raise ArgumentTypeError(f"{name} is a whole number of dots, not {type(value).__name__}")
    if value < minimum or (maximum is not None and value > maximum):
        upper = f" to {maximum}" if maximum is not None else " or more"
        raise ArgumentError(f"{name} must be {minimum}{upper}, not {value}")
    return str(value).encode()


def _number(name: str, value: Any, minimum: float = 0.0, inclusive: bool = True) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ArgumentTypeError(f"{name} is a number, not {type(value).__name__}")
    if not math.isfinite(value) or value < minimum or (not inclusive and value == minimum):
        raise ArgumentError(f"{name} must be a number {'at least' if inclusive else 'more than'} {minimum:g}, not {value}")
    return float(value)


def _measure(name: str, value: Any, minimum: float = 0.0, inclusive: bool = True) -> bytes:
    """A number for the command language: 100 -> "100", 50.8 -> "50.8"."""
    _number(name, value, minimum, inclusive)
    if isinstance(value, int):
        return str(value).encode()
    return (f"{value:.4f}".rstrip("0").rstrip(".") or "0").encode()


def _rotation(value: Any) -> bytes:
    if isinstance(value, bool) or value not in (0, 90, 180, 270):
        raise ArgumentError(f"rotation must be 0, 90, 180 or 270 (degrees clockwise), not {value!r}")
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
    calls into the library are serialised all the same. Raises
    :class:`AddressError`, :class:`ConnectError`, :class:`BusyError`.
    ``poll_interval`` is the pause between status polls while waiting for a
    label to print.
    """

    def __init__(self, address: str | Address | None = None, *, poll_interval: float = 0.25) -> None:
        global _taken
        self._open = False
        self._peer = ""
        if address is None:
            address = os.environ.get("ZARN_PRINTER") or "usb"
        if isinstance(address, Address):
            self._address = address
        else:
            self._address = Address.parse(address)
        self._poll = _number("poll_interval", poll_interval)
        self._lib = _lib.library()
        with _lib.lock:
            if _taken:
                raise BusyError(
                    f"cannot open {self._address.text}: this process already has a printer open "
                    "(the library holds one connection per process)"
                )
            if self._lib.flag("openportStatus") == 1:
                raise BusyError(
                    f"cannot open {self._address.text}: the library already has a connection open "
                    "in this process (opened outside zarn.Printer)"
                )
            kind = self._address.kind
            if kind is Kind.USB:
                self._open_usb()
            elif kind is Kind.SERIAL:
                self._open_serial()
            else:
                self._open_tcp()
            _taken = True
            self._open = True

    # ---- Opening ----

    def _open_usb(self) -> None:
        if self._lib.openport(b"USB") != 1:
            raise ConnectError(
                "cannot open the USB printer: no device with the printer vendor ID could be opened "
                "(none attached, no permission on its /dev/bus/usb node, or held by another program)"
            )

    def _open_serial(self) -> None:
        device = self._address.device
        path = "/dev/" + device
        if not device.startswith("tty") or "/" in device:
            raise ArgumentError(f"bad serial device '{device}': a name under /dev beginning with tty")
        try:
            os.stat(path)
        except OSError as e:
            raise ConnectError(f"cannot open the serial printer {path}: {e.strerror}") from None
        if not os.access(path, os.R_OK | os.W_OK):
            raise ConnectError(f"cannot open the serial printer {path}: {os.strerror(13)}")
        # openport refuses anything but a terminal; say so rather than just fail.
        if not _is_terminal(path):
            raise ConnectError(f"cannot use the serial printer {path}: it is not a terminal")
        if self._lib.openport(device.encode()) != 1:
            raise ConnectError(f"cannot open the serial printer {path}")
        s = self._address.settings
        problem = None
        if s != SerialSettings():
            self._lib.set_Speed(s.baud)
            if self._lib.set_Parity(s.data_bits, s.stop_bits, ord(s.parity)) != 1:
                problem = "its line settings cannot be applied"
        if problem:
            self._lib.closeport()
            raise ConnectError(f"cannot use the serial printer {path}: {problem}")

    def _open_tcp(self) -> None:
        host, port = self._address.host, self._address.port
        try:
            socket.inet_pton(socket.AF_INET, host)
            candidates = [host]
        except OSError:
            # The library connects to numeric IPv4 addresses only: the name is looked up here.
            try:
                found = socket.getaddrinfo(host, None, socket.AF_INET, socket.SOCK_STREAM)
            except socket.gaierror as e:
                raise ConnectError(f"cannot find the printer host '{host}': {e.strerror}") from None
            candidates = list(dict.fromkeys(info[4][0] for info in found))
        why = "no IPv4 address"
        for ip in candidates:
            ctypes.set_errno(0)
            if self._lib.openethernet(ip.encode(), port) == 1:
                if ip != host:
                    self._peer = f"{ip}:{port}"
                return
            err = ctypes.get_errno()
            why = f"{ip}: {os.strerror(err) if err else 'cannot connect'}"
        raise ConnectError(f"cannot connect to the printer at {self._address.text} ({why})")

    # ---- The connection ----

    @property
    def address(self) -> Address:
        """The printer's address."""
        return self._address

    @property
    def is_open(self) -> bool:
        """True until :meth:`close`."""
        return self._open

    def describe(self) -> str:
        """The address, and for a host name the IPv4 address it reached."""
        return f"{self._address.text} ({self._peer})" if self._peer else self._address.text

    def close(self) -> None:
        """Closes the connection; the Printer can then not be used again."""
        global _taken
        with _lib.lock:
            if self._open:
                self._lib.closeport()
                self._open = False
                _taken = False

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
        return f"<zarn.Printer {self.describe()} {'open' if self._open else 'closed'}>"

    def _require_open(self) -> None:
        if not self._open:
            raise ClosedError(f"the printer connection to {self._address.text} is closed")

    def _sent(self, ok: int) -> None:
        if ok != 1:
            raise SendError(f"cannot send to the printer at {self.describe()}")

    # ---- Sending ----

    def send(self, line: str | bytes) -> None:
        """Sends one command line of the printer's language; CR LF is added.
        A str goes as UTF-8, bytes unchanged. Raises :class:`SendError`."""
        data = _text("line", line)
        with _lib.lock:
            self._require_open()
            self._sent(self._lib.sendcommand(data))

    def send_bytes(self, data: bytes | bytearray | memoryview) -> None:
        """Sends bytes unchanged (any bytes; nothing is added)."""
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise ArgumentTypeError(f"data is bytes, bytearray or memoryview, not {type(data).__name__}")
        view = memoryview(data).cast("B")
        with _lib.lock:
            self._require_open()
            for start in range(0, len(view), _BINARY_PIECE):
                piece = bytes(view[start : start + _BINARY_PIECE])
                if self._lib.sendBinaryData(piece, len(piece)) != 1:
                    raise SendError(
                        f"cannot send to the printer at {self.describe()} ({start} of {len(view)} bytes went out)"
                    )

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
            self._require_open()
            self._lib.setup(w, h, s, d, b"1" if black_line else b"0", g, o)

    def clear(self) -> None:
        """Clears the printer's image buffer (``CLS``): a new label."""
        with _lib.lock:
            self._require_open()
            self._lib.clearbuffer()

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
            _field("font", str(font) if isinstance(font, int) and not isinstance(font, bool) else font),
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
            self._require_open()
            function(*args)

    def text_bitmap(self, x: int, y: int, text: str, *, font: str | os.PathLike[str], size: int) -> None:
        """Draws text (UTF-8) with a TrueType font file at ``size`` points
        as a bitmap at (x, y) dots. Raises :class:`FileError` for a font that
        cannot be read or used, :class:`ArgumentError` for an empty text."""
        args = (_dots("x", x), _dots("y", y), _dots("size", size, 1))
        data = _text("text", text)
        if not data:
            raise ArgumentError("an empty text renders to nothing")
        path = _path("font", font)
        if not os.access(path, os.R_OK) or os.path.isdir(path):
            raise FileError(f"cannot read the font {os.fsdecode(path)}: {_why(path)}")
        with _lib.lock:
            self._require_open()
            if self._lib.windowsfont(int(args[0]), int(args[1]), int(args[2]), 0, path, data) != 1:
                raise FileError(f"cannot render with {os.fsdecode(path)} (not a TrueType font?)")

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
    ) -> None:
        """Draws a picture or PDF page (a path or the file's bytes) or a
        Pillow image at (x, y) dots on the current label (``BITMAP``). Every
        row goes, paper included, so its white covers what is drawn under it.

        Without ``width_mm``/``height_mm`` it prints one pixel a dot (a PDF
        page at its size); with them it is fitted into that box. The other
        options are those of ``zarn print`` (see :func:`zarn.render`).
        """
        xd, yd = int(_dots("x", x)), int(_dots("y", y))
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
        ) as bitmap, _lib.lock:
            self._require_open()
            lib = _lib.raster()
            code = lib.send_bitmap(bitmap._h(), xd, yd)
            if code != 0:
                raster._raise(code, lib)

    def print(self, copies: int = 1, *, sets: int = 1, wait: bool = False, timeout: float = 60.0) -> None:
        """Prints the label (``PRINT sets,copies``). With ``wait`` it then
        waits up to ``timeout`` seconds until the label is out and raises
        :class:`PaperOut`, :class:`HeadOpen`, ... (see :meth:`wait`)."""
        line = b"PRINT %s,%s" % (_dots("sets", sets, 1), _dots("copies", copies, 1))
        _checked_line(line, _MAX_PRINT_LINE)
        if wait:
            _number("timeout", timeout)
        with _lib.lock:
            self._require_open()
            self._lib.printlabel(_dots("sets", sets, 1), _dots("copies", copies, 1))
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
        wait: bool = False,
        timeout: float = 60.0,
    ) -> None:
        """Prints a picture or PDF (a path or the file's bytes) or a Pillow
        image, each page as its own label, as ``zarn_raster_send`` does: ``SIZE``
        (the label's), ``CLS``, ``BITMAP`` and ``PRINT 1,copies``.

        ``pages`` selects PDF pages (3, ``"1-3,5"`` or a list; default all);
        ``width_mm`` x ``height_mm`` is the label (default: the picture's
        own size). With ``wait`` it waits for each page to print before the
        next and raises as :meth:`wait` does.
        """
        o = raster.options(
            width_mm=width_mm, height_mm=height_mm, dpi=dpi, dither=dither, threshold=threshold, rotate=rotate, fit=fit
        )
        n = int(_dots("copies", copies, 1))
        if wait:
            _number("timeout", timeout)
        numbers = raster.parse_pages(pages)
        with _lib.lock:
            self._require_open()
        lib = _lib.raster()
        # Every page is rendered before the first is sent, so a bad page
        # number or a damaged page leaves nothing half printed.
        with contextlib.closing(raster.render_pages(source, numbers, o)) as rendered:
            bitmaps = list(rendered)
        try:
            for bitmap in bitmaps:
                with _lib.lock:
                    self._require_open()
                    code = lib.send(bitmap._h(), n)
                if code != 0:
                    raster._raise(code, lib)
                if wait:
                    self.wait(timeout)
        finally:
            for bitmap in bitmaps:
                bitmap.close()

    def feed(self) -> None:
        """Feeds one blank label (``FORMFEED``)."""
        with _lib.lock:
            self._require_open()
            self._lib.formfeed()

    def no_backfeed(self) -> None:
        """Turns the striper and tear-off back-feed off."""
        with _lib.lock:
            self._require_open()
            self._lib.nobackfeed()

    def upload(self, path: str | os.PathLike[str], name: str | None = None) -> None:
        """Stores the file at ``path`` in the printer as ``name`` (default:
        the file's own name) with ``DOWNLOAD``. Raises :class:`FileError`."""
        p = _path("path", path)
        as_name = _text("name", os.path.basename(os.fsdecode(p)) if name is None else name)
        # The name stands quoted in the DOWNLOAD header: a quote would end it
        # early, a line break the header, and the file would run as commands.
        for byte, what in ((b'"', 'a double quote (")'), (b"\r", "a line break (CR)"), (b"\n", "a line break (LF)")):
            if byte in as_name:
                raise ArgumentError(
                    f"cannot upload {os.fsdecode(p)!r} as {as_name.decode('utf-8', 'backslashreplace')!r}: "
                    f"a name in the printer cannot hold {what}; pass another name"
                )
        if os.path.isdir(p):
            raise FileError(f"cannot read {os.fsdecode(p)}: it is a folder")
        if not os.access(p, os.R_OK):
            raise FileError(f"cannot read {os.fsdecode(p)}: {_why(p)}")
        with _lib.lock:
            self._require_open()
            if self._lib.downloadpcx(p, as_name) != 1:
                raise FileError(f"cannot upload {os.fsdecode(p)} (unreadable, or 2 GiB or larger)")

    # ---- Asking ----

    def _silent(self, start: float) -> bool:
        return time.monotonic() - start >= _SILENT_SECONDS

    def _peer_gone(self) -> bool:
        # An empty reply from a TCP peer that closed, or a serial line that
        # hung up, was no reply.
        if self._lib.flag("openEthernetPortResult") == 1:
            fd, events = self._lib.flag("net_socket"), select.POLLIN | select.POLLRDHUP
        elif self._lib.flag("openSerialPortResult") == 1:
            fd, events = self._lib.flag("tty_device"), select.POLLIN
        else:
            return False
        poller = select.poll()
        poller.register(fd, events)
        gone = select.POLLRDHUP | select.POLLHUP | select.POLLERR | select.POLLNVAL
        return any(ev & gone for _, ev in poller.poll(0))

    def status(self) -> Status:
        """The printer's status, decoded as ``zarn status`` decodes it.

        The library answers 0 both for the byte 0 and for no reply, and 82
        both for a failed receive and for the byte 0x52; a 0 that took the
        library's whole reply wait (10 s), or came from a connection that is
        gone, is "no reply", and an 82 is asked once more to tell the two
        apart. So a silent printer costs one reply wait to find out.
        """
        with _lib.lock:
            self._require_open()
            start = time.monotonic()
            code = self._lib.printerstatus()
            if code == 0:
                gone = self._silent(start) or self._peer_gone()
                return Status.unanswered() if gone else Status.from_byte(0)
            if code != ord("R"):
                return Status.from_byte(code & 0xFF)
            if self._silent(start):
                return Status.unanswered()  # a USB transfer that timed out
            start = time.monotonic()
            if self._lib.sendcommand(_STATUS_REQUEST) != 1:
                return Status.unanswered(Reply.RECEIVE_FAILED)
            reply = self._lib.take(self._lib.Read(b"")) or b""
            if reply == _RECEIVE_FAILED:
                return Status.unanswered() if self._silent(start) else Status.unanswered(Reply.RECEIVE_FAILED)
            if not reply:
                gone = self._silent(start) or self._peer_gone()
                return Status.unanswered() if gone else Status.from_byte(0)
            return Status.from_byte(reply[0])

    def _answer(self, reply: bytes | None, start: float, what: str) -> str:
        reply = reply or b""
        if reply == _RECEIVE_FAILED:
            raise ReplyError(f"no complete reply to {what} from the printer at {self.describe()}")
        if not reply and (self._silent(start) or self._peer_gone()):
            raise NoReply(
                f"no reply to {what} from the printer at {self.describe()}",
                Status.unanswered(),
                Outcome.NO_REPLY,
            )
        return reply.decode("utf-8", "replace")

    def query(self, command: str | bytes) -> str:
        """Sends a command and returns what the printer printed back (up to
        the library's end marker), for example ``query('OUT _MODEL$')``.
        Raises :class:`NoReply` or :class:`ReplyError`."""
        data = _text("command", command)
        with _lib.lock:
            self._require_open()
            start = time.monotonic()
            reply = self._lib.take(self._lib.sendcommand_getstring(data))
            return self._answer(reply, start, f"'{data.decode('utf-8', 'replace')}'")

    def name(self) -> str:
        """The printer's model name."""
        return self._ask(self._lib.printername, "the name request")

    def serial(self) -> str:
        """The printer's serial number."""
        return self._ask(self._lib.printerserial, "the serial number request")

    def _ask(self, request: Any, what: str) -> str:
        with _lib.lock:
            self._require_open()
            start = time.monotonic()
            return self._answer(self._lib.take(request()), start, what).rstrip("\r\n")

    # ---- Waiting ----

    def _wait(self, timeout: float) -> tuple[Outcome, Status]:
        deadline = time.monotonic() + _number("timeout", timeout)
        while True:
            status = self.status()
            outcome = outcome_of(status)
            if outcome is not Outcome.TIMED_OUT:
                return outcome, status
            now = time.monotonic()
            if now >= deadline:
                return outcome, status
            time.sleep(min(self._poll, deadline - now))

    def wait_until_printed(self, timeout: float = 60.0) -> Outcome:
        """Polls the status until the printing bit clears, a fault shows, the
        printer stops answering, or ``timeout`` seconds pass; returns how it
        ended. :meth:`wait` raises instead."""
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
        raise _EXCEPTION_OF_OUTCOME[outcome](message, status, outcome)


def _path(name: str, value: Any) -> bytes:
    if not isinstance(value, (str, bytes, os.PathLike)):
        raise ArgumentTypeError(f"{name} is a path, not {type(value).__name__}")
    path = os.fsencode(value)
    if not path or b"\0" in path:
        raise ArgumentError(f"{name} must be a file name without NUL characters")
    return path


def _why(path: bytes) -> str:
    try:
        with open(path, "rb"):
            return "unreadable"
    except OSError as e:
        return e.strerror or "unreadable"


def _is_terminal(path: str) -> bool:
    """Whether path is a terminal, without waiting on it (O_NONBLOCK)."""
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return False
    try:
        return os.isatty(fd)
    finally:
        os.close(fd)
