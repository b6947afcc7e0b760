# SPDX-License-Identifier: MIT
"""Pictures and PDF pages as the printer's 1-bit bitmap, through
``libzarn-raster.so.1`` (the engine of ``zarn print``)."""

from __future__ import annotations

import contextlib
import ctypes
import math
import os
from typing import TYPE_CHECKING, Any, Generator, Iterable, Union

from . import _lib
from .errors import ArgumentError, ArgumentTypeError, ClosedError, FileError, PictureError, SendError

if TYPE_CHECKING:
    from PIL.Image import Image as PillowImage

#: What :func:`render`, :meth:`Printer.image` and :meth:`Printer.print_file` take:
#: a path to a picture or PDF, its bytes, or a Pillow image.
Source = Union[str, "os.PathLike[str]", bytes, "PillowImage"]

DITHERS = {"floyd-steinberg": 0, "threshold": 1, "atkinson": 2, "ordered": 3}
FITS = {"contain": 0, "shrink": 1, "none": 2}
ROTATIONS = {"auto": -1, 0: 0, 90: 90, 180: 180, 270: 270}
DPIS = (203, 300, 600)

_GREY8, _RGB24, _RGBA32 = 0, 1, 2
_OK, _ERR_ARGUMENT, _ERR_IO, _ERR_NOT_CONNECTED, _ERR_SEND = 0, 1, 2, 8, 9


def _raise(code: int, lib: _lib.RasterLibrary) -> None:
    message = lib.last_error().decode("utf-8", "replace")
    if code == _ERR_ARGUMENT:
        raise ArgumentError(message)
    if code == _ERR_IO:
        raise FileError(message)
    if code == _ERR_NOT_CONNECTED:
        raise ClosedError(message)
    if code == _ERR_SEND:
        raise SendError(message)
    raise PictureError(message)


def _number(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ArgumentTypeError(f"{name} is a number, not {type(value).__name__}")
    if not math.isfinite(value):
        raise ArgumentError(f"{name} must be a finite number, not {value}")
    return float(value)


def _threshold(value: Any) -> float:
    # 0.5 or "50%", as zarn print's --threshold takes it.
    if isinstance(value, str):
        text = value.strip()
        try:
            value = float(text[:-1]) / 100 if text.endswith("%") else float(text)
        except ValueError:
            raise ArgumentError(f"threshold must be a number between 0 and 1 or a percentage such as '50%', not '{text}'") from None
    t = _number("threshold", value)
    if not 0 < t < 1:
        raise ArgumentError(f"threshold must be between 0 and 1 (or 0% and 100%), not {value}")
    return t


def options(
    *,
    width_mm: float | None = None,
    height_mm: float | None = None,
    dpi: int = 203,
    dither: str = "floyd-steinberg",
    threshold: float | str = 0.5,
    rotate: int | str = 0,
    fit: str = "contain",
) -> _lib.RasterOptions:
    """Checks the picture options and fills the C options with them."""
    if (width_mm is None) != (height_mm is None):
        raise ArgumentError("give both width_mm and height_mm, or neither (the picture's own size)")
    o = _lib.raster().new_options()
    if width_mm is not None:
        w, h = _number("width_mm", width_mm), _number("height_mm", height_mm)
        if not (0 < w <= 1000 and 0 < h <= 1000):
            raise ArgumentError(f"the label size must be more than 0 and at most 1000 mm each way, not {width_mm} x {height_mm} mm")
        o.label_width_mm, o.label_height_mm = w, h
    if isinstance(dpi, bool) or dpi not in DPIS:
        raise ArgumentError(f"dpi must be 203, 300 or 600, not {dpi!r}")
    if dither not in DITHERS:
        raise ArgumentError(f"dither must be one of {', '.join(DITHERS)}, not {dither!r}")
    rotation = rotate.lower() if isinstance(rotate, str) else rotate
    if isinstance(rotation, bool) or rotation not in ROTATIONS:
        raise ArgumentError(f"rotate must be 0, 90, 180, 270 or 'auto', not {rotate!r}")
    if fit not in FITS:
        raise ArgumentError(f"fit must be one of {', '.join(FITS)}, not {fit!r}")
    o.dpi, o.dither, o.rotate, o.fit = dpi, DITHERS[dither], ROTATIONS[rotation], FITS[fit]
    o.threshold = _threshold(threshold)
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
        if not (0 <= x < self.width and 0 <= y < self.height):
            raise ArgumentError(f"({x}, {y}) is outside the {self.width} x {self.height} bitmap")
        byte = self._lib.bitmap_data(self._h())[y * self.bytes_per_row + x // 8]
        return not byte & (0x80 >> (x % 8))

    def save_png(self, path: str | os.PathLike[str]) -> None:
        """Writes exactly the dots that would print, as a 1-bit PNG."""
        code = self._lib.bitmap_write_png(self._h(), os.fsencode(path))
        if code != _OK:
            _raise(code, self._lib)

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
        path = os.fspath(source)
        if isinstance(path, str) and "\0" in path or isinstance(path, bytes) and b"\0" in path:
            raise ArgumentError("a file name cannot contain a NUL character")
        code = lib.open_file(os.fsencode(path), ctypes.byref(doc))
    else:
        raise ArgumentTypeError(
            f"a picture is a path, the file's bytes or a Pillow image, not {type(source).__name__}"
        )
    if code != _OK:
        _raise(code, lib)
    return doc.value


def pages(source: str | os.PathLike[str] | bytes) -> int:
    """The number of pages in a PDF (1 for a picture)."""
    lib = _lib.raster()
    doc = _open_document(lib, source)
    try:
        return lib.document_pages(doc)
    finally:
        lib.document_close(doc)


def render_pages(source: Source, page_numbers: Iterable[int] | None, o: _lib.RasterOptions) -> Generator[Bitmap, None, None]:
    """Renders the pages (all when None) one at a time."""
    lib = _lib.raster()
    if _is_pillow(source):
        if page_numbers is not None and list(page_numbers) != [1]:
            raise ArgumentError("a Pillow image has one page")
        pixels, width, height, stride, fmt = _pillow_pixels(source)
        bmp = ctypes.c_void_p()
        code = lib.render_pixels(pixels, width, height, stride, fmt, ctypes.byref(o), ctypes.byref(bmp))
        if code != _OK:
            _raise(code, lib)
        yield Bitmap(bmp.value)
        return
    doc = _open_document(lib, source)
    try:
        count = lib.document_pages(doc)
        numbers = list(range(1, count + 1)) if page_numbers is None else list(page_numbers)
        for n in numbers:
            if isinstance(n, bool) or not isinstance(n, int):
                raise ArgumentTypeError(f"a page number is an int, not {type(n).__name__}")
            if not 1 <= n <= count:
                raise ArgumentError(f"there is no page {n} (the document has {count} page{'s' * (count != 1)})")
        for n in numbers:
            bmp = ctypes.c_void_p()
            code = lib.render(doc, n, ctypes.byref(o), ctypes.byref(bmp))
            if code != _OK:
                _raise(code, lib)
            yield Bitmap(bmp.value)
    finally:
        lib.document_close(doc)


def parse_pages(pages: int | str | Iterable[int] | None) -> list[int] | None:
    """Page numbers from 3, "1-3", "1,4-5" or [1, 2]; None for every page."""
    if pages is None:
        return None
    if isinstance(pages, bool):
        raise ArgumentTypeError("pages is a page number, a text such as '1-3', or a list of page numbers")
    if isinstance(pages, int):
        return [pages]
    if isinstance(pages, str):
        out: list[int] = []
        for part in pages.split(","):
            first, dash, last = part.strip().partition("-")
            try:
                a = int(first)
                b = int(last) if dash else a
            except ValueError:
                raise ArgumentError(f"pages takes numbers and ranges such as '1-3,5', not '{pages}'") from None
            if a < 1 or b < a:
                raise ArgumentError(f"pages takes numbers and ranges such as '1-3,5', not '{pages}'")
            out.extend(range(a, b + 1))
        return out
    try:
        return list(pages)
    except TypeError:
        raise ArgumentTypeError(f"pages is a page number, a text such as '1-3', or a list, not {type(pages).__name__}") from None


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
) -> Bitmap:
    """Renders one page of a picture or PDF (a path or the file's bytes) or
    a Pillow image as a 1-bit label, without a printer.

    ``width_mm`` x ``height_mm`` is the label (both or neither: without them
    the label is the picture's own size, one pixel a dot, or a PDF page at
    its size). ``dpi`` is 203, 300 or 600; ``dither`` one of
    ``"floyd-steinberg"``, ``"threshold"``, ``"atkinson"``, ``"ordered"``;
    ``threshold`` (for ``"threshold"``) 0 to 1 or ``"50%"``; ``rotate`` 0,
    90, 180, 270 (clockwise) or ``"auto"``; ``fit`` ``"contain"``,
    ``"shrink"`` or ``"none"``. Raises :class:`FileError`,
    :class:`PictureError` or :class:`ArgumentError`.
    """
    o = options(
        width_mm=width_mm, height_mm=height_mm, dpi=dpi, dither=dither, threshold=threshold, rotate=rotate, fit=fit
    )
    with contextlib.closing(render_pages(source, [page], o)) as rendered:
        return next(iter(rendered))
