# SPDX-License-Identifier: MIT
"""Printer addresses as texts, the same as the ``zarn`` command's ``-p``:

- ``usb``: the first USB printer;
- ``serial:ttyUSB0?baud=9600&parity=none&data=8&stop=1``: ``/dev/ttyUSB0``,
  any setting may be left out (115200 bit/s, 8N1);
- ``tcp://HOST[:PORT]``: a host name or IPv4 address, port 9100.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass, field

from .errors import AddressError, ArgumentTypeError

#: The rates the library's serial speed table knows.
BAUD_RATES = (115200, 38400, 19200, 9600, 4800, 2400, 1200, 300)
#: The usual raw TCP port of label printers.
DEFAULT_TCP_PORT = 9100

_PARITY_NAMES = {"none": "N", "n": "N", "odd": "O", "o": "O", "even": "E", "e": "E", "space": "S", "s": "S"}
_PARITY_WORDS = {"N": "none", "O": "odd", "E": "even", "S": "space"}


class Kind(enum.Enum):
    """How the printer is reached."""

    USB = "usb"
    SERIAL = "serial"
    TCP = "tcp"


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
    port: int = DEFAULT_TCP_PORT  # tcp

    @classmethod
    def parse(cls, text: str) -> Address:
        """Reads an address text. Raises :class:`AddressError` saying what is wrong."""
        if not isinstance(text, str):
            raise ArgumentTypeError(f"a printer address is a str such as 'usb' or 'tcp://HOST', not {type(text).__name__}")
        low = text.lower()
        if low == "usb":
            return cls()
        if low.startswith("serial:"):
            return cls._parse_serial(text)
        if low.startswith("tcp://"):
            return cls._parse_tcp(text)
        _bad(text, "use usb, serial:ttyNAME[?baud=N&parity=none&data=8&stop=1] or tcp://HOST[:PORT]")

    @classmethod
    def _parse_serial(cls, text: str) -> Address:
        rest = text[7:]
        if rest.startswith("//"):
            rest = rest[2:]
        dev, _, opts = rest.partition("?")
        if dev.startswith("/dev/"):
            dev = dev[5:]
        if not dev.startswith("tty") or "/" in dev:
            _bad(text, "the serial device must be a name under /dev beginning with tty, as in serial:ttyUSB0")
        settings = {"baud": 115200, "parity": "N", "data_bits": 8, "stop_bits": 1}
        if "?" in rest:
            parts = opts.split("&")
            if parts[-1] == "":  # nothing after the last &
                parts.pop()
            for opt in parts:
                key, eq, value = opt.partition("=")
                if not eq:
                    _bad(text, "serial settings are KEY=VALUE joined by &")
                _serial_option(text, key.lower(), value.lower(), settings)
        return cls(kind=Kind.SERIAL, device=dev, settings=SerialSettings(**settings))

    @classmethod
    def _parse_tcp(cls, text: str) -> Address:
        rest = text[6:]
        if rest.endswith("/"):
            rest = rest[:-1]
        if rest.startswith("["):
            _bad(text, "IPv6 is not supported: the library connects over IPv4 only")
        port = DEFAULT_TCP_PORT
        host, colon, port_text = rest.rpartition(":")
        if colon:
            port = _parse_int(port_text)
            if port is None or not 1 <= port <= 65535:
                _bad(text, "the port must be a number from 1 to 65535")
            rest = host
        if not rest or any(c in rest for c in "/?@ "):
            _bad(text, "expected tcp://HOST or tcp://HOST:PORT")
        return cls(kind=Kind.TCP, host=rest, port=port)

    @property
    def text(self) -> str:
        """The address in the form :meth:`parse` reads."""
        if self.kind is Kind.SERIAL:
            s = self.settings
            parity = _PARITY_WORDS.get(s.parity, "none")
            return f"serial:{self.device}?baud={s.baud}&parity={parity}&data={s.data_bits}&stop={s.stop_bits}"
        if self.kind is Kind.TCP:
            return f"tcp://{self.host}:{self.port}"
        return "usb"

    def __str__(self) -> str:
        return self.text


def _bad(text: str, why: str) -> None:
    raise AddressError(f"bad printer address '{text}': {why}")


def _parse_int(text: str) -> int | None:
    # Digits only, as the command reads them (no sign, spaces or underscores).
    if not text or not text.isascii() or not text.isdigit():
        return None
    return int(text)


def _serial_option(text: str, key: str, value: str, settings: dict) -> None:
    n = _parse_int(value)
    if key == "baud":
        if n not in BAUD_RATES:
            _bad(text, "baud must be one of " + ", ".join(map(str, BAUD_RATES)))
        settings["baud"] = n
    elif key == "parity":
        if value not in _PARITY_NAMES:
            _bad(text, "parity must be none, odd, even or space")
        settings["parity"] = _PARITY_NAMES[value]
    elif key == "data":
        if n not in (7, 8):
            _bad(text, "data must be 7 or 8")
        settings["data_bits"] = n
    elif key == "stop":
        if n not in (1, 2):
            _bad(text, "stop must be 1 or 2")
        settings["stop_bits"] = n
    else:
        _bad(text, f"unknown serial setting '{key}' (known: baud, parity, data, stop)")
