# SPDX-License-Identifier: MIT
"""Drive a thermal label printer from Python, over libzarn.

::

    import zarn
    with zarn.Printer("tcp://printer.local") as p:   # or "usb", "serial:ttyUSB0?baud=9600"
        p.setup(width_mm=100, height_mm=60)
        p.clear()
        p.text(40, 40, "Hello", font="3")
        p.barcode(40, 120, "ZARN-0001", kind="128", height=80)
        p.image("logo.png", x=400, y=40)
        p.print(copies=1, wait=True)                 # raises zarn.PaperOut, zarn.HeadOpen, ...
        print(p.status())

The package is a thin layer over the host layer ``libzarn-client.so.1``:
addresses, opening, the status and its reply kinds, waiting, uploads,
printing pictures, thresholds and page lists mean here what they mean to
the ``zarn`` command and ``zarn.hpp``. It loads ``libzarn.so.1``,
``libzarn-raster.so.1`` and ``libzarn-client.so.1`` with ctypes on first
use: by those names from the system's library path, or from the files
that ``$ZARN_LIBRARY``, ``$ZARN_RASTER_LIBRARY`` and
``$ZARN_CLIENT_LIBRARY`` name.
"""

from .address import Address, Kind, SerialSettings
from .errors import (
    AddressError,
    ArgumentError,
    ArgumentTypeError,
    BusyError,
    ClosedError,
    ConnectError,
    Error,
    FileError,
    HeadOpen,
    HeadTemperature,
    LibraryError,
    NoMemoryError,
    NoReply,
    OtherProcessError,
    PaperJam,
    PaperOut,
    Paused,
    PictureError,
    BudgetError,
    ReplyError,
    RibbonOut,
    SendError,
    Timeout,
    UploadNameError,
    WaitError,
)
from .printer import REPLY_TIMEOUT_SECONDS, REPLY_WAIT_SECONDS, Printer, about, check_upload_name
from .raster import Bitmap, pages, parse_label_size, parse_pages, parse_threshold, render
from .status import Condition, Outcome, Reply, Status, outcome_of

__version__ = "1.0.0"

__all__ = [
    "Address",
    "AddressError",
    "ArgumentError",
    "ArgumentTypeError",
    "Bitmap",
    "BusyError",
    "ClosedError",
    "Condition",
    "ConnectError",
    "Error",
    "FileError",
    "HeadOpen",
    "HeadTemperature",
    "Kind",
    "LibraryError",
    "NoMemoryError",
    "NoReply",
    "OtherProcessError",
    "Outcome",
    "PaperJam",
    "PaperOut",
    "Paused",
    "PictureError",
    "BudgetError",
    "Printer",
    "REPLY_TIMEOUT_SECONDS",
    "REPLY_WAIT_SECONDS",
    "Reply",
    "ReplyError",
    "RibbonOut",
    "SendError",
    "SerialSettings",
    "Status",
    "Timeout",
    "UploadNameError",
    "WaitError",
    "about",
    "check_upload_name",
    "outcome_of",
    "pages",
    "parse_label_size",
    "parse_pages",
    "parse_threshold",
    "render",
]
