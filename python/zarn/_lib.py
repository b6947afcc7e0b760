# SPDX-License-Identifier: MIT
"""Loading libzarn-client.so.1 (with libzarn.so.1 and libzarn-raster.so.1
under it) with ctypes, the C prototypes, and the one check that turns a
failed call into its exception. Nothing here talks to a printer."""

from __future__ import annotations

import ctypes
import functools
import os
import threading
from ctypes import POINTER, c_char, c_char_p, c_double, c_int, c_size_t, c_ubyte, c_ulonglong, c_void_p

from . import errors

LIBRARY_ENV = "ZARN_LIBRARY"
RASTER_LIBRARY_ENV = "ZARN_RASTER_LIBRARY"
CLIENT_LIBRARY_ENV = "ZARN_CLIENT_LIBRARY"
SONAME = "libzarn.so.1"
RASTER_SONAME = "libzarn-raster.so.1"
CLIENT_SONAME = "libzarn-client.so.1"

#: Held around every call into the libraries: libzarn keeps its state in
#: globals and takes no locks of its own.
lock = threading.RLock()


def _lock_anew() -> None:
    # A thread of the parent may have held the lock at the fork, and no
    # thread of the child would ever release it.
    global lock
    lock = threading.RLock()


os.register_at_fork(after_in_child=_lock_anew)

#: zarn_client_progress: (done, total, context).
Progress = ctypes.CFUNCTYPE(None, c_size_t, c_size_t, c_void_p)


def _prototype(dll: ctypes.CDLL, name: str, restype, *argtypes):
    """The library's function name, declared with its C prototype."""
    f = getattr(dll, name)
    f.restype = restype
    f.argtypes = argtypes
    return f


class ClientAddress(ctypes.Structure):
    """zarn_client_address."""

    _fields_ = [
        ("kind", c_int),
        ("device", c_char * 64),
        ("baud", c_int),
        ("parity", c_char),
        ("data_bits", c_int),
        ("stop_bits", c_int),
        ("host", c_char * 256),
        ("port", c_int),
    ]


class ClientStatus(ctypes.Structure):
    """zarn_client_printer_status."""

    _fields_ = [("reply", c_int), ("bits", c_ubyte)]


class RasterOptions(ctypes.Structure):
    """zarn_raster_options, as far as this package knows it."""

    _fields_ = [
        ("size", c_size_t),
        ("label_width_mm", c_double),
        ("label_height_mm", c_double),
        ("dpi", c_int),
        ("dither", c_int),
        ("threshold", c_double),
        ("rotate", c_int),
        ("fit", c_int),
        ("margin_top_mm", c_double),
        ("margin_right_mm", c_double),
        ("margin_bottom_mm", c_double),
        ("margin_left_mm", c_double),
        ("max_pixels", c_ulonglong),
        ("max_seconds", c_double),
        ("max_bytes", c_ulonglong),
    ]


# Room for the options of any later library version: the init function
# fills its whole struct, and the size field then says how much of it we know.
_OPTIONS_ROOM = 1024


class Library:
    """libzarn's label commands, which run on the connection the host layer opened."""

    def __init__(self, path: str) -> None:
        self.path = path
        dll = ctypes.CDLL(path)
        fn = functools.partial(_prototype, dll)
        self.setup = fn("setup", c_int, *[c_char_p] * 7)
        self.clearbuffer = fn("clearbuffer", c_int)
        self.barcode = fn("barcode", c_int, *[c_char_p] * 9)
        self.printerfont = fn("printerfont", c_int, *[c_char_p] * 7)
        self.printlabel = fn("printlabel", c_int, c_char_p, c_char_p)
        self.formfeed = fn("formfeed", c_int)
        self.nobackfeed = fn("nobackfeed", c_int)
        self.about = fn("about", c_char_p)


class RasterLibrary:
    """libzarn-raster's rendering functions with their prototypes."""

    def __init__(self, path: str) -> None:
        self.path = path
        dll = ctypes.CDLL(path)
        fn = functools.partial(_prototype, dll)
        opts, doc, bmp = POINTER(RasterOptions), c_void_p, c_void_p
        self.options_init = fn("zarn_raster_options_init", None, c_void_p)
        self.last_error = fn("zarn_raster_last_error", c_char_p)
        self.open_file = fn("zarn_raster_open_file", c_int, c_char_p, POINTER(doc))
        self.open_memory = fn("zarn_raster_open_memory", c_int, c_char_p, c_size_t, c_char_p, POINTER(doc))
        self.document_pages = fn("zarn_raster_document_pages", c_int, doc)
        self.document_close = fn("zarn_raster_document_close", None, doc)
        self.render = fn("zarn_raster_render", c_int, doc, c_int, opts, POINTER(bmp))
        self.render_pixels = fn(
            "zarn_raster_render_pixels", c_int, c_char_p, c_int, c_int, c_size_t, c_int, opts, POINTER(bmp)
        )
        self.bitmap_width = fn("zarn_raster_bitmap_width", c_int, bmp)
        self.bitmap_height = fn("zarn_raster_bitmap_height", c_int, bmp)
        self.bitmap_bytes_per_row = fn("zarn_raster_bitmap_bytes_per_row", c_int, bmp)
        self.bitmap_data = fn("zarn_raster_bitmap_data", POINTER(c_ubyte), bmp)
        self.bitmap_dpi = fn("zarn_raster_bitmap_dpi", c_int, bmp)
        self.bitmap_write_png = fn("zarn_raster_bitmap_write_png", c_int, bmp, c_char_p)
        self.bitmap_free = fn("zarn_raster_bitmap_free", None, bmp)

    def new_options(self) -> RasterOptions:
        """Options with the library's defaults."""
        room = ctypes.create_string_buffer(max(_OPTIONS_ROOM, ctypes.sizeof(RasterOptions)))
        self.options_init(room)
        options = RasterOptions.from_buffer_copy(room)
        options.size = ctypes.sizeof(RasterOptions)
        return options


class ClientLibrary:
    """libzarn-client's functions with their prototypes."""

    def __init__(self, path: str) -> None:
        self.path = path
        dll = ctypes.CDLL(path)
        fn = functools.partial(_prototype, dll)
        h, st, addr = c_void_p, POINTER(ClientStatus), POINTER(ClientAddress)
        # Texts the library allocates are c_void_p: the pointer is needed to free them.
        self.last_error = fn("zarn_client_last_error", c_char_p)
        self.last_raster_status = fn("zarn_client_last_raster_status", c_int)
        self.free = fn("zarn_client_free", None, c_void_p)
        self.address_parse = fn("zarn_client_address_parse", c_int, c_char_p, addr)
        self.address_format = fn("zarn_client_address_format", c_void_p, addr)
        self.open_address = fn("zarn_client_open_address", c_int, addr, POINTER(h))
        self.close = fn("zarn_client_close", None, h)
        self.describe = fn("zarn_client_describe", c_char_p, h)
        self.set_reply_timeout = fn("zarn_client_set_reply_timeout", c_int, h, c_int)
        self.status_get = fn("zarn_client_status_get", c_int, h, st)
        self.status_words = fn("zarn_client_status_words", c_void_p, st)
        self.condition_text = fn("zarn_client_condition_text", c_char_p, ctypes.c_uint)
        self.outcome_of = fn("zarn_client_outcome_of", c_int, st)
        self.outcome_text = fn("zarn_client_outcome_text", c_char_p, c_int)
        self.wait = fn("zarn_client_wait", c_int, h, c_int, c_int, st, POINTER(c_int))
        self.send = fn("zarn_client_send", c_int, h, c_char_p)
        self.send_binary = fn("zarn_client_send_binary", c_int, h, c_char_p, c_size_t, Progress, c_void_p)
        ask = (c_int, h, POINTER(c_int), POINTER(c_void_p))
        self.query = fn("zarn_client_query", c_int, h, c_char_p, *ask[2:])
        self.name = fn("zarn_client_name", *ask)
        self.serial = fn("zarn_client_serial", *ask)
        self.text_bitmap = fn("zarn_client_text_bitmap", c_int, h, c_int, c_int, c_int, c_char_p, c_char_p)
        self.upload = fn("zarn_client_upload", c_int, h, c_char_p, c_char_p, Progress, c_void_p)
        self.upload_name_check = fn("zarn_client_upload_name_check", c_int, c_char_p, c_size_t)
        self.print_bitmap = fn("zarn_client_print_bitmap", c_int, h, c_void_p, c_int, Progress, c_void_p)
        self.draw_bitmap = fn("zarn_client_draw_bitmap", c_int, h, c_void_p, c_int, c_int, Progress, c_void_p)
        self.parse_threshold = fn("zarn_client_parse_threshold", c_int, c_char_p, POINTER(c_double))
        self.parse_pages = fn("zarn_client_parse_pages", c_int, c_char_p, c_int, POINTER(POINTER(c_int)), POINTER(c_int))
        self.parse_label_size = fn(
            "zarn_client_parse_label_size", c_int, c_char_p, POINTER(c_double), POINTER(c_double)
        )

    def take(self, text: int | None) -> bytes:
        """Copies a text the library allocated and frees it."""
        if not text:
            return b""
        try:
            return ctypes.string_at(text)
        finally:
            self.free(text)


_loaded: dict[str, object] = {}


def _load(kind: str, env: str, soname: str, factory):
    with lock:
        if kind in _loaded:
            return _loaded[kind]
        path = os.environ.get(env) or soname
        try:
            lib = factory(path)
        except OSError as e:
            where = f"{env}={path}" if os.environ.get(env) else f"{soname} (installed with libzarn, or set {env} to its path)"
            raise errors.LibraryError(f"cannot load {where}: {e}") from None
        except AttributeError as e:
            raise errors.LibraryError(f"{path} is not the library this package needs: {e}") from None
        _loaded[kind] = lib
        return lib


def library() -> Library:
    """libzarn, loaded on first use from $ZARN_LIBRARY or the SONAME."""
    return _load("zarn", LIBRARY_ENV, SONAME, Library)


def raster() -> RasterLibrary:
    """libzarn-raster, from $ZARN_RASTER_LIBRARY or the SONAME."""
    library()
    return _load("raster", RASTER_LIBRARY_ENV, RASTER_SONAME, RasterLibrary)


def client() -> ClientLibrary:
    """libzarn-client, from $ZARN_CLIENT_LIBRARY or the SONAME. libzarn and
    libzarn-raster are loaded first, so that its own dependencies resolve to
    those very files and the process has one libzarn, one connection."""
    raster()
    return _load("client", CLIENT_LIBRARY_ENV, CLIENT_SONAME, ClientLibrary)


# zarn_client_status -> the exception it raises.
_CLIENT_ERRORS: dict[int, type[errors.Error]] = {
    1: errors.ArgumentError,
    2: errors.AddressError,
    3: errors.ConnectError,
    4: errors.BusyError,
    5: errors.ClosedError,
    6: errors.SendError,
    7: errors.ReplyError,
    8: errors.FileError,
    9: errors.PictureError,
    10: errors.NoMemoryError,
    11: errors.UploadNameError,
}

# zarn_raster_status -> the exception it raises (the rest are PictureError).
_RASTER_ERRORS: dict[int, type[errors.Error]] = {
    1: errors.ArgumentError,
    2: errors.FileError,
    7: errors.NoMemoryError,
    11: errors.BudgetError,
}


def check(code: int, **details) -> None:
    """Raises the exception of a failed libzarn-client call, with the
    library's message; details become attributes of the exception."""
    if code == 0:
        return
    message = client().last_error().decode("utf-8", "replace")
    kind = _CLIENT_ERRORS.get(code, errors.Error)
    if kind is errors.PictureError:
        kind = _RASTER_ERRORS.get(client().last_raster_status(), kind)
        if not issubclass(kind, errors.PictureError):
            kind = errors.PictureError
    error = kind(message)
    for name, value in details.items():
        setattr(error, name, value)
    raise error


def check_raster(code: int) -> None:
    """Raises the exception of a failed libzarn-raster call."""
    if code == 0:
        return
    message = raster().last_error().decode("utf-8", "replace")
    raise _RASTER_ERRORS.get(code, errors.PictureError)(message)


#: The range of a C int: ctypes would wrap anything past it without a word.
INT_MIN, INT_MAX = -(2**31), 2**31 - 1
SIZE_MAX = 2 ** (8 * ctypes.sizeof(c_size_t)) - 1


def shown(value) -> str:
    """A value for a message: Python refuses to print an int of thousands of digits."""
    if isinstance(value, int) and not isinstance(value, bool) and value.bit_length() > 64:
        return f"a {value.bit_length()}-bit number"
    text = repr(value)
    return text if len(text) <= 80 else text[:77] + "..."


def integer(name: str, value, minimum: int = INT_MIN, maximum: int = INT_MAX) -> int:
    """A whole number for a C integer argument, refused outside minimum..maximum."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise errors.ArgumentTypeError(f"{name} is a whole number, not {type(value).__name__}")
    if not minimum <= value <= maximum:
        raise errors.ArgumentError(f"{name} must be {minimum} to {maximum}, not {shown(value)}")
    return int(value)


def path(name: str, value) -> bytes:
    """A file name as C takes it: the file system's bytes, without NUL."""
    if not isinstance(value, (str, bytes, os.PathLike)):
        raise errors.ArgumentTypeError(f"{name} is a path, not {type(value).__name__}")
    try:
        data = os.fsencode(value)
    except UnicodeEncodeError as e:
        raise errors.ArgumentError(f"{name} cannot be a file name here: {e.reason} at character {e.start}") from None
    except TypeError as e:  # a PathLike whose __fspath__ gives neither str nor bytes
        raise errors.ArgumentTypeError(f"{name} is a path: {e}") from None
    if not data or b"\0" in data:
        raise errors.ArgumentError(f"{name} must be a file name without NUL characters")
    return data


def text(name: str, value, *, lines: bool = True) -> bytes:
    """A text argument as C takes it: str as UTF-8, bytes unchanged, and no
    NUL, which would end it early."""
    if isinstance(value, str):
        try:
            data = value.encode("utf-8")
        except UnicodeEncodeError as e:  # a lone surrogate
            raise errors.ArgumentError(f"{name} cannot be sent as UTF-8: {e.reason} at character {e.start}") from None
    elif isinstance(value, (bytes, bytearray, memoryview)):
        data = bytes(value)
    else:
        raise errors.ArgumentTypeError(f"{name} is a str or bytes, not {type(value).__name__}")
    if b"\0" in data:
        raise errors.ArgumentError(f"{name} cannot contain a NUL byte (send_bytes sends any bytes)")
    if not lines and (b"\r" in data or b"\n" in data):
        raise errors.ArgumentError(f"{name} cannot contain a line break")
    return data


class Reporter:
    """A progress callback for C that calls a Python one. An exception it
    raises cannot stop the C loop; it is kept and raised once the call returns."""

    def __init__(self, progress) -> None:
        self.error: BaseException | None = None
        self._progress = progress
        self.c = Progress(self._call) if progress is not None else Progress()

    def _call(self, done: int, total: int, _context) -> None:
        if self.error is None:
            try:
                self._progress(done, total)
            except BaseException as e:  # noqa: BLE001 - raised again after the call
                self.error = e

    def raise_error(self) -> None:
        if self.error is not None:
            raise self.error
