# SPDX-License-Identifier: MIT
"""Pictures and PDF pages as the printer's 1-bit bitmap, rendered by
``libzarn-raster.so.1`` (the engine of ``zarn print``); thresholds, page
lists and label sizes read by libzarn-client, as every front end reads them."""

from __future__ import annotations

import contextlib
import ctypes
import os
from typing import TYPE_CHECKING, Any, Generator, Iterable, Union

from . import _lib
from .errors import AddressError, ArgumentError, ArgumentTypeError, ClosedError

if TYPE_CHECKING:
    from PIL.Image import Image as PillowImage

#: What :func:`render`, :meth:`Printer.image` and :meth:`Printer.print_file` take:
#: a path to a picture or PDF, its bytes, or a Pillow image.
Source = Union[str, "os.PathLike[str]", bytes, "PillowImage"]

DITHERS = {"floyd-steinberg": 0, "threshold": 1, "atkinson": 2, "ordered": 3}
FITS = {"contain": 0, "shrink": 1, "none": 2}
ROTATIONS = {"auto": -1, 0: 0, 90: 90, 180: 180, 270: 270}

_GREY8, _RGB24, _RGBA32 = 0, 1, 2


def parse_threshold(value: float | str) -> float:
    """A threshold as a fraction: 0.5, "0.5" and "50%" are one and the same
    (a fraction between 0 and 1, or a percentage with %)."""
    if isinstance(value, bool) or not isinstance(value, (int, float, str)):
        raise ArgumentTypeError(f"threshold is a number or a text such as '50%', not {type(value).__name__}")
    if isinstance(value, int) and value.bit_length() > 64:  # str() refuses the longest ints
        raise AddressError(f"bad threshold {_lib.shown(value)}: a fraction between 0 and 1 such as 0.5")
    fraction = ctypes.c_double()
    _lib.check(_lib.client().parse_threshold(_lib.text("threshold", str(value)), ctypes.byref(fraction)))
    return fraction.value


def parse_pages(text: str, page_count: int) -> list[int]:
    """The pages a page list such as "1-3,5,7-" names in a file of
    page_count pages: in the file's order, each once; "" names every page."""
    page_count = _lib.integer("page_count", page_count, 0)
    pages = ctypes.POINTER(ctypes.c_int)()
    count = ctypes.c_int()
    lib = _lib.client()
    _lib.check(lib.parse_pages(_lib.text("pages", text), page_count, ctypes.byref(pages), ctypes.byref(count)))
    try:
        return pages[: count.value]
    finally:
        lib.free(pages)


def parse_label_size(text: str) -> tuple[float, float]:
    """A label size "100x60mm" or "4x6in" as (width, height) in mm."""
    w, h = ctypes.c_double(), ctypes.c_double()
    _lib.check(_lib.client().parse_label_size(_lib.text("label size", text), ctypes.byref(w), ctypes.byref(h)))
    return w.value, h.value


def _no_page(page: int, count: int) -> AddressError:
    # The words of the host layer's page lists.
    return AddressError(f"there is no page {_lib.shown(page)} (it has {count} page{'' if count == 1 else 's'})")


def _select(pages: int | str | Iterable[int] | None, count: int) -> list[int]:
    """The pages that pages names in a file of count pages, in the file's
    order and each once. A list or range is read one number at a time and
    the first past the end stops it, so range(4, 10**9) costs nothing."""
    if pages is None:
        return parse_pages("", count)
    if isinstance(pages, str):
        return parse_pages(pages, count)
    if isinstance(pages, bool):
        raise ArgumentTypeError("pages is a page number, a text such as '1-3', or a list of page numbers")
    if isinstance(pages, int):
        if pages > _lib.INT_MAX:  # the page count is a C int: no file has it
            raise _no_page(pages, count)
        return parse_pages(str(pages), count)
    try:
        numbers = iter(pages)
    except TypeError:
        raise ArgumentTypeError(f"pages is a page number, a text such as '1-3', or a list, not {type(pages).__name__}") from None
    chosen = bytearray(count + 1)
    named = False
    for n in numbers:
        if isinstance(n, bool) or not isinstance(n, int):
            raise ArgumentTypeError("a list of pages holds one page number or more, each an int")
        if n < 1:
            raise AddressError(f"bad page {_lib.shown(n)} in the list: pages are numbered from 1")
        if n > count:
            raise _no_page(n, count)
        chosen[n] = named = True
    if not named:
        raise ArgumentTypeError("a list of pages holds one page number or more, each an int")
    return [n for n in range(1, count + 1) if chosen[n]]


def _number(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ArgumentTypeError(f"{name} is a number, not {type(value).__name__}")
    try:
        return float(value)
    except OverflowError:
        raise ArgumentError(f"{name} is too large a number: {_lib.shown(value)}") from None


def _choice(name: str, value: Any, choices: dict) -> int:
    key = value.lower() if isinstance(value, str) else value
    try:
        known = not isinstance(key, bool) and key in choices
    except TypeError:  # unhashable, such as a list
        known = False
    if not known:
        raise ArgumentError(f"{name} must be one of {', '.join(map(str, choices))}, not {_lib.shown(value)}")
    return choices[key]


def options(
    *,
    width_mm: float | None = None,
    height_mm: float | None = None,
    dpi: int = 203,
    dither: str = "floyd-steinberg",
    threshold: float | str = 0.5,
    rotate: int | str = 0,
    fit: str = "contain",
    max_seconds: float | None = None,
    max_bytes: int | None = None,
) -> _lib.RasterOptions:
    """The C options for these picture options; libzarn-raster checks the
    sizes and the resolution when it renders."""
    o = _lib.raster().new_options()
    if width_mm is not None:
        o.label_width_mm = _number("width_mm", width_mm)
    if height_mm is not None:
        o.label_height_mm = _number("height_mm", height_mm)
    if isinstance(dpi, bool) or not isinstance(dpi, int):
        raise ArgumentTypeError(f"dpi is 203, 300 or 600, not {_lib.shown(dpi)}")
    if not 0 < dpi <= _lib.INT_MAX:  # the library says which it takes; ctypes would wrap this
        raise ArgumentError(f"dpi is 203, 300 or 600, not {_lib.shown(dpi)}")
    o.dpi = dpi
    o.dither = _choice("dither", dither, DITHERS)
    o.rotate = _choice("rotate", rotate, ROTATIONS)
    o.fit = _choice("fit", fit, FITS)
    o.threshold = parse_threshold(threshold)
    # The page's budget; None keeps the library's (10 s, 256 MiB).
    if max_seconds is not None:
        seconds = _number("max_seconds", max_seconds)
        if not 0 < seconds < float("inf"):
            raise ArgumentError(f"max_seconds is a number of seconds over 0, not {max_seconds!r}")
        o.max_seconds = seconds
    if max_bytes is not None:
        if isinstance(max_bytes, bool) or not isinstance(max_bytes, int):
            raise ArgumentTypeError(f"max_bytes is a number of bytes, not {_lib.shown(max_bytes)}")
        if not 0 < max_bytes < 2**64:
            raise ArgumentError(f"max_bytes is a number of bytes over 0, not {_lib.shown(max_bytes)}")
        o.max_bytes = max_bytes
    return o


class Bitmap:
    """A label as the printer's 1-bit BITMAP: rows of :attr:`bytes_per_row`
    bytes, the leftmost dot in the most significant bit, a set bit is paper.

    It holds the raster library's bitmap until :meth:`close` (or until it
    is collected); use it as a context manager to release it at once.
    """

    def __init__(self, handle: int) -> None:
        self._lib = _lib.raster()
        self._handle: int | None = handle

    def _h(self) -> int:
        if self._handle is None:
            raise ClosedError("the bitmap was closed")
        return self._handle

    @property
    def width(self) -> int:
        """Width in dots."""
        return self._lib.bitmap_width(self._h())

    @property
    def height(self) -> int:
        """Height in dots."""
        return self._lib.bitmap_height(self._h())

    @property
    def bytes_per_row(self) -> int:
        """(width + 7) // 8."""
        return self._lib.bitmap_bytes_per_row(self._h())

    @property
    def dpi(self) -> int:
        """The resolution it was made for: 203, 300 or 600."""
        return self._lib.bitmap_dpi(self._h())

    @property
    def data(self) -> bytes:
        """A copy of the packed rows, top to bottom."""
        h = self._h()
        size = self._lib.bitmap_bytes_per_row(h) * self._lib.bitmap_height(h)
        return ctypes.string_at(self._lib.bitmap_data(h), size)

    def ink(self, x: int, y: int) -> bool:
        """Whether the dot at (x, y) is ink."""
        for name, v in (("x", x), ("y", y)):
            if isinstance(v, bool) or not isinstance(v, int):
                raise ArgumentTypeError(f"{name} is a whole number of dots, not {type(v).__name__}")
        if not (0 <= x < self.width and 0 <= y < self.height):
            raise ArgumentError(f"({_lib.shown(x)}, {_lib.shown(y)}) is outside the {self.width} x {self.height} bitmap")
        byte = self._lib.bitmap_data(self._h())[y * self.bytes_per_row + x // 8]
        return not byte & (0x80 >> (x % 8))

    def save_png(self, path: str | os.PathLike[str]) -> None:
        """Writes exactly the dots that would print, as a 1-bit PNG."""
        _lib.check_raster(self._lib.bitmap_write_png(self._h(), _lib.path("path", path)))

    def close(self) -> None:
        """Releases the bitmap."""
        if self._handle is not None:
            self._lib.bitmap_free(self._handle)
            self._handle = None

    def __enter__(self) -> Bitmap:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()

    def __repr__(self) -> str:
        if self._handle is None:
            return "Bitmap(closed)"
        return f"Bitmap({self.width} x {self.height} dots, {self.dpi} dpi)"


def _is_pillow(source: object) -> bool:
    return all(hasattr(source, a) for a in ("mode", "size", "tobytes", "convert"))


def _pillow_pixels(image: Any) -> tuple[bytes, int, int, int, int]:
    """The image's pixels in a layout the raster library reads."""
    mode = image.mode
    transparent = mode in ("RGBA", "LA", "PA", "RGBa", "La") or "transparency" in getattr(image, "info", {})
    if mode == "L":
        fmt, bpp = _GREY8, 1
    elif mode == "RGB":
        fmt, bpp = _RGB24, 3
    elif mode == "RGBA":
        fmt, bpp = _RGBA32, 4
    elif transparent:
        image, fmt, bpp = image.convert("RGBA"), _RGBA32, 4
    elif mode in ("1", "I", "I;16", "F"):
        image, fmt, bpp = image.convert("L"), _GREY8, 1
    else:  # P, CMYK, YCbCr, LAB, HSV
        image, fmt, bpp = image.convert("RGB"), _RGB24, 3
    width, height = image.size
    return image.tobytes(), width, height, width * bpp, fmt


def _open_document(lib: _lib.RasterLibrary, source: Source) -> int:
    doc = ctypes.c_void_p()
    if isinstance(source, (bytes, bytearray, memoryview)):
        data = bytes(source)
        code = lib.open_memory(data, len(data), b"picture", ctypes.byref(doc))
    elif isinstance(source, (str, os.PathLike)):
        code = lib.open_file(_lib.path("the picture's file name", source), ctypes.byref(doc))
    else:
        raise ArgumentTypeError(
            f"a picture is a path, the file's bytes or a Pillow image, not {type(source).__name__}"
        )
    _lib.check_raster(code)
    return doc.value


def pages(source: str | os.PathLike[str] | bytes) -> int:
    """The number of pages in a PDF (1 for a picture)."""
    lib = _lib.raster()
    doc = _open_document(lib, source)
    try:
        return lib.document_pages(doc)
    finally:
        lib.document_close(doc)


class Pages:
    """A picture or PDF held open with the pages a page list names in it
    (all when None) in :attr:`numbers`; :meth:`render` renders one of them
    at a time, as often as asked, so no more than one need be held."""

    def __init__(self, source: Source, pages: int | str | Iterable[int] | None, o: _lib.RasterOptions) -> None:
        self._lib = _lib.raster()
        self._options = o
        self._doc: int | None = None
        self._pixels: tuple[bytes, int, int, int, int] | None = None
        if _is_pillow(source):
            self.numbers = _select(pages, 1)  # a Pillow image has the one page
            self._pixels = _pillow_pixels(source)
            return
        self._doc = _open_document(self._lib, source)
        try:
            self.numbers = _select(pages, self._lib.document_pages(self._doc))
        except BaseException:
            self.close()
            raise

    def render(self, page: int) -> Bitmap:
        bmp = ctypes.c_void_p()
        if self._pixels is not None:
            pixels, width, height, stride, fmt = self._pixels
            code = self._lib.render_pixels(pixels, width, height, stride, fmt, ctypes.byref(self._options), ctypes.byref(bmp))
        elif self._doc is not None:
            code = self._lib.render(self._doc, page, ctypes.byref(self._options), ctypes.byref(bmp))
        else:
            raise ClosedError("the document was closed")
        _lib.check_raster(code)
        return Bitmap(bmp.value)

    def close(self) -> None:
        if self._doc is not None:
            self._lib.document_close(self._doc)
            self._doc = None
        self._pixels = None

    def __enter__(self) -> Pages:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def render_pages(source: Source, pages: int | str | Iterable[int] | None, o: _lib.RasterOptions) -> Generator[Bitmap, None, None]:
    """Renders the pages a page list names (all when None), one at a time."""
    with Pages(source, pages, o) as job:
        for n in job.numbers:
            yield job.render(n)


def render(
    source: Source,
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
) -> Bitmap:
    """Renders one page of a picture or PDF (a path or the file's bytes) or
    a Pillow image as a 1-bit label, without a printer.

    ``width_mm`` x ``height_mm`` is the label (both or neither: without them
    the label is the picture's own size, one pixel a dot, or a PDF page at
    its size). ``dpi`` is 203, 300 or 600; ``dither`` one of
    ``"floyd-steinberg"``, ``"threshold"``, ``"atkinson"``, ``"ordered"``;
    ``threshold`` (for ``"threshold"``) a fraction such as 0.5 or
    ``"0.5"``, or a percentage such as ``"50%"`` (the same); ``rotate`` 0,
    90, 180, 270 (clockwise) or ``"auto"``; ``fit`` ``"contain"``,
    ``"shrink"`` or ``"none"``; ``max_seconds`` and ``max_bytes`` the
    CPU time and memory the page may take (default 10 s and 256 MiB).
    Raises :class:`FileError`, :class:`PictureError` (:class:`BudgetError`
    past the budget) or :class:`ArgumentError`.
    """
    if isinstance(page, bool) or not isinstance(page, int):
        raise ArgumentTypeError(f"page is a page number, not {type(page).__name__}")
    o = options(
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
    with contextlib.closing(render_pages(source, page, o)) as rendered:
        return next(iter(rendered))
