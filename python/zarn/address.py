# SPDX-License-Identifier: MIT
"""Printer addresses as texts, read and written by libzarn-client, so they
mean what they mean to the ``zarn`` command's ``-p``:

- ``usb``: the first USB printer;
- ``serial:ttyUSB0?baud=9600&parity=none&data=8&stop=1``: ``/dev/ttyUSB0``,
  any setting may be left out (115200 bit/s, 8N1);
- ``tcp://HOST[:PORT]``: a host name or IPv4 address, port 9100.
"""

from __future__ import annotations

import ctypes
import enum
from dataclasses import dataclass, field

from . import _lib
from .errors import AddressError, ArgumentTypeError


class Kind(enum.Enum):
    """How the printer is reached."""

    USB = "usb"
    SERIAL = "serial"
    TCP = "tcp"


# zarn_client_kind.
_KIND_CODES = {Kind.USB: 0, Kind.SERIAL: 1, Kind.TCP: 2}


@dataclass(frozen=True)
class SerialSettings:
    """Line settings of a serial printer."""

    baud: int = 115200
    parity: str = "N"  # 'N', 'O', 'E' or 'S'
    data_bits: int = 8  # 7 or 8
    stop_bits: int = 1  # 1 or 2


@dataclass(frozen=True)
class Address:
    """One printer. Make one with :meth:`parse`; :attr:`text` gives it back."""

    kind: Kind = Kind.USB
    device: str = ""  # serial: the name under /dev, beginning with "tty"
    settings: SerialSettings = field(default_factory=SerialSettings)  # serial
    host: str = ""  # tcp
    port: int = 9100  # tcp

    @classmethod
    def parse(cls, text: str) -> Address:
        """Reads an address text. Raises :class:`AddressError` saying what is wrong."""
        if not isinstance(text, str):
            raise ArgumentTypeError(f"a printer address is a str such as 'usb' or 'tcp://HOST', not {type(text).__name__}")
        lib = _lib.client()
        c = _lib.ClientAddress()
        _lib.check(lib.address_parse(_lib.text("a printer address", text), ctypes.byref(c)))
        kind = {code: k for k, code in _KIND_CODES.items()}[c.kind]
        if kind is Kind.SERIAL:
            settings = SerialSettings(c.baud, c.parity.decode(), c.data_bits, c.stop_bits)
            return cls(kind=kind, device=c.device.decode("utf-8", "replace"), settings=settings)
        if kind is Kind.TCP:
            return cls(kind=kind, host=c.host.decode("utf-8", "replace"), port=c.port)
        return cls()

    def to_c(self) -> _lib.ClientAddress:
        """The address as zarn_client_address. Raises :class:`AddressError`
        for a field the C struct cannot hold (an Address made by hand)."""
        s = self.settings
        if not isinstance(self.kind, Kind):
            raise ArgumentTypeError(f"an address's kind is a zarn.Kind, not {type(self.kind).__name__}")
        if not isinstance(s, SerialSettings):
            raise ArgumentTypeError(f"an address's settings are zarn.SerialSettings, not {type(s).__name__}")
        return _lib.ClientAddress(
            _KIND_CODES[self.kind],
            _field("device", self.device, _lib.ClientAddress.device.size),
            _lib.integer("baud", s.baud),
            _lib.text("parity", s.parity)[:1] or b"N",
            _lib.integer("data_bits", s.data_bits),
            _lib.integer("stop_bits", s.stop_bits),
            _field("host", self.host, _lib.ClientAddress.host.size),
            _lib.integer("port", self.port),
        )

    @property
    def text(self) -> str:
        """The address in the form :meth:`parse` reads."""
        lib = _lib.client()
        c = self.to_c()
        return lib.take(lib.address_format(ctypes.byref(c))).decode("utf-8", "replace")

    def __str__(self) -> str:
        return self.text


def _field(name: str, value: str, size: int) -> bytes:
    """A text for a fixed char array of size bytes, its NUL included."""
    data = _lib.text(name, value)
    if len(data) >= size:
        raise AddressError(f"the {name} is {len(data)} bytes; the library takes at most {size - 1}")
    return data
