# SPDX-License-Identifier: MIT
"""Loading libzarn.so.1 and libzarn-raster.so.1 with ctypes, and the C
prototypes. Nothing here talks to a printer."""

from __future__ import annotations

import ctypes
import functools
import os
import threading
from ctypes import POINTER, c_char_p, c_double, c_int, c_size_t, c_ubyte, c_ulonglong, c_void_p

from .errors import LibraryError

LIBRARY_ENV = "ZARN_LIBRARY"
RASTER_LIBRARY_ENV = "ZARN_RASTER_LIBRARY"
SONAME = "libzarn.so.1"
RASTER_SONAME = "libzarn-raster.so.1"

# The two replies the library returns as constants; every reply whose text
# is exactly one of them is the constant and must never be released.
_CONSTANT_REPLIES = (b"", b"Receive Failed\r\n")

#: Held around every call into the library: it keeps its state in globals
#: and takes no locks of its own.
lock = threading.RLock()


def _prototype(dll: ctypes.CDLL, name: str, restype, *argtypes):
    """The library's function name, declared with its C prototype."""
    f = getattr(dll, name)
    f.restype = restype
    f.argtypes = argtypes
    return f


class Library:
    """libzarn's functions with their prototypes."""

    def __init__(self, path: str) -> None:
        self.path = path
        # errno of the last call is kept, for the reason a connect failed.
        dll = ctypes.CDLL(path, use_errno=True)
        self.dll = dll
        fn = functools.partial(_prototype, dll)

        self.openport = fn("openport", c_int, c_char_p)
        self.openethernet = fn("openethernet", c_int, c_char_p, c_int)
        self.closeport = fn("closeport", c_int)
        self.sendcommand = fn("sendcommand", c_int, c_char_p)
        self.sendBinaryData = fn("sendBinaryData", c_int, c_char_p, c_int)
        self.setup = fn("setup", c_int, *[c_char_p] * 7)
        self.clearbuffer = fn("clearbuffer", c_int)
        self.barcode = fn("barcode", c_int, *[c_char_p] * 9)
        self.printerfont = fn("printerfont", c_int, *[c_char_p] * 7)
        self.printlabel = fn("printlabel", c_int, c_char_p, c_char_p)
        self.formfeed = fn("formfeed", c_int)
        self.nobackfeed = fn("nobackfeed", c_int)
        self.about = fn("about", c_char_p)
        self.printerstatus = fn("printerstatus", c_int)
        # Replies are c_void_p, not c_char_p: the pointer is needed to release them.
        self.printername = fn("printername", c_void_p)
        self.printerserial = fn("printerserial", c_void_p)
        self.sendcommand_getstring = fn("sendcommand_getstring", c_void_p, c_char_p)
        self.downloadpcx = fn("downloadpcx", c_int, c_char_p, c_char_p)
        self.windowsfont = fn("windowsfont", c_int, c_int, c_int, c_int, c_int, c_char_p, c_char_p)
        # Exported with their C++ names.
        self.set_Speed = fn("_Z9set_Speedi", None, c_int)
        self.set_Parity = fn("_Z10set_Parityiii", c_int, c_int, c_int, c_int)
        self.Read = fn("_Z4ReadPc", c_void_p, c_char_p)
        # operator delete[](void*), found through libzarn's own handle (its
        # dependencies are searched too), so it is the one its new[] pairs with.
        self.delete_array = fn("_ZdaPv", None, c_void_p)

    def flag(self, name: str) -> int:
        """The current value of one of the library's int globals."""
        return c_int.in_dll(self.dll, name).value

    def take(self, reply: int | None) -> bytes | None:
        """Copies a reply text and releases it (never the constants)."""
        if not reply:
            return None
        text = ctypes.string_at(reply)
        if text not in _CONSTANT_REPLIES:
            self.delete_array(reply)
        return text


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
    ]


# Room for the options of any later library version: the init function
# fills its whole struct, and the size field then says how much of it we know.
_OPTIONS_ROOM = 1024


class RasterLibrary:
    """libzarn-raster's functions with their prototypes."""

    def __init__(self, path: str) -> None:
        self.path = path
        dll = ctypes.CDLL(path)
        self.dll = dll
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
        self.send = fn("zarn_raster_send", c_int, bmp, c_int)
        self.send_bitmap = fn("zarn_raster_send_bitmap", c_int, bmp, c_int, c_int)

    def new_options(self) -> RasterOptions:
        """Options with the library's defaults."""
        room = ctypes.create_string_buffer(max(_OPTIONS_ROOM, ctypes.sizeof(RasterOptions)))
        self.options_init(room)
        options = RasterOptions.from_buffer_copy(room)
        options.size = ctypes.sizeof(RasterOptions)
        return options


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
            raise LibraryError(f"cannot load {where}: {e}") from None
        except AttributeError as e:
            raise LibraryError(f"{path} is not the libzarn this package needs: {e}") from None
        _loaded[kind] = lib
        return lib


def library() -> Library:
    """libzarn, loaded on first use from $ZARN_LIBRARY or the SONAME."""
    return _load("zarn", LIBRARY_ENV, SONAME, Library)


def raster() -> RasterLibrary:
    """libzarn-raster, loaded on first use from $ZARN_RASTER_LIBRARY or the
    SONAME, after libzarn so that both share libzarn's one connection."""
    library()
    return _load("raster", RASTER_LIBRARY_ENV, RASTER_SONAME, RasterLibrary)
