# SPDX-License-Identifier: MIT
"""The printer's status: the byte and the kind of reply, with its words and
outcomes as libzarn-client gives them to every front end."""

from __future__ import annotations

import ctypes
import enum
from dataclasses import dataclass, field

from . import _lib
from .errors import ArgumentError, ArgumentTypeError


class Condition(enum.IntFlag):
    """Bits of the status byte (ZARN_CLIENT_BIT_*); none set means ready."""

    HEAD_OPEN = 0x01
    PAPER_JAM = 0x02
    PAPER_OUT = 0x04
    RIBBON_OUT = 0x08
    PAUSED = 0x10
    PRINTING = 0x20
    COVER_OPEN = 0x40
    TEMPERATURE = 0x80  # print head temperature out of range

    @property
    def words(self) -> str:
        """The condition in words: ``"paper out"``, ``"head open"``, ..."""
        return _lib.client().condition_text(int(self)).decode() or "unknown"


class Reply(enum.IntEnum):
    """Whether the printer answered the status request (zarn_client_reply)."""

    ANSWERED = 0  # the printer sent its status byte
    NO_REPLY = 1  # nothing within the reply timeout
    RECEIVE_FAILED = 2  # the receive failed
    DISCONNECTED = 3  # the TCP peer closed, or the serial line hung up

    def __repr__(self) -> str:
        return f"Reply.{self.name}"


@dataclass(frozen=True)
class Status:
    """The decoded status. The flags are False unless the printer answered.

    ``print(status)`` shows every flag; :attr:`text` is the status in words
    (``"ready"``, ``"paper out, head open"``, ``"no reply"``).
    """

    ready: bool
    paper_out: bool
    ribbon_out: bool
    paper_jam: bool
    head_open: bool
    cover_open: bool
    temperature: bool
    paused: bool
    printing: bool
    reply: Reply = field(default=Reply.ANSWERED)
    bits: int = 0

    @classmethod
    def from_byte(cls, byte: int) -> Status:
        """The status the printer reports with this byte (0 to 255)."""
        if isinstance(byte, bool) or not isinstance(byte, int) or not 0 <= byte <= 0xFF:
            raise ArgumentError(f"a status byte is 0 to 255, not {_lib.shown(byte)}")
        return cls._of(Reply.ANSWERED, byte)

    @classmethod
    def unanswered(cls, reply: Reply = Reply.NO_REPLY) -> Status:
        """A status for a printer that did not answer."""
        if isinstance(reply, bool) or reply not in list(Reply):
            raise ArgumentError(f"reply is a zarn.Reply, not {_lib.shown(reply)}")
        if Reply(reply) is Reply.ANSWERED:
            raise ArgumentError("an unanswered status needs NO_REPLY, RECEIVE_FAILED or DISCONNECTED")
        return cls._of(Reply(reply), 0)

    @classmethod
    def _of(cls, reply: Reply, bits: int) -> Status:
        has = lambda c: reply is Reply.ANSWERED and bool(bits & c)  # noqa: E731
        return cls(
            ready=reply is Reply.ANSWERED and bits == 0,
            paper_out=has(Condition.PAPER_OUT),
            ribbon_out=has(Condition.RIBBON_OUT),
            paper_jam=has(Condition.PAPER_JAM),
            head_open=has(Condition.HEAD_OPEN),
            cover_open=has(Condition.COVER_OPEN),
            temperature=has(Condition.TEMPERATURE),
            paused=has(Condition.PAUSED),
            printing=has(Condition.PRINTING),
            reply=reply,
            bits=bits if reply is Reply.ANSWERED else 0,
        )

    @classmethod
    def from_c(cls, c: _lib.ClientStatus) -> Status:
        return cls._of(Reply(c.reply), c.bits)

    def to_c(self) -> _lib.ClientStatus:
        # A Status made by hand may hold anything; ctypes would wrap the byte.
        if isinstance(self.reply, bool) or self.reply not in list(Reply):
            raise ArgumentError(f"a status's reply is a zarn.Reply, not {_lib.shown(self.reply)}")
        if isinstance(self.bits, bool) or not isinstance(self.bits, int) or not 0 <= self.bits <= 0xFF:
            raise ArgumentError(f"a status's bits are 0 to 255, not {_lib.shown(self.bits)}")
        return _lib.ClientStatus(int(self.reply), self.bits)

    @property
    def answered(self) -> bool:
        """The printer sent its status byte."""
        return self.reply is Reply.ANSWERED

    @property
    def needs_attention(self) -> bool:
        """Answered with a bit that needs a person (every bit but printing)."""
        return self.answered and (self.bits & ~Condition.PRINTING) != 0

    @property
    def conditions(self) -> list[Condition]:
        """The conditions that are set, most pressing first (the order of :attr:`text`)."""
        if not self.answered or not self.bits:
            return []
        by_words = {c.words: c for c in Condition}
        return [by_words[w] for w in self.text.split(", ")]

    @property
    def text(self) -> str:
        """``"ready"``, ``"paper out, head open"``, ``"no reply"``,
        ``"receive failed"`` or ``"disconnected"``: the words of ``zarn status``."""
        lib = _lib.client()
        c = self.to_c()
        return lib.take(lib.status_words(ctypes.byref(c))).decode()


class Outcome(enum.IntEnum):
    """How a printed job ended, as :meth:`Printer.wait_until_printed` saw it
    (zarn_client_outcome)."""

    PRINTED = 0  # the printing bit cleared and nothing needs attention
    PAPER_OUT = 1
    RIBBON_OUT = 2
    PAPER_JAM = 3
    HEAD_OR_COVER_OPEN = 4
    TEMPERATURE = 5
    PAUSED = 6
    NO_REPLY = 7  # no reply, a failed receive, or disconnected
    TIMED_OUT = 8  # still printing when the time was up

    @property
    def text(self) -> str:
        """``"printed"``, ``"paper out"``, ..., ``"timed out"``."""
        return _lib.client().outcome_text(int(self)).decode()

    def __repr__(self) -> str:
        return f"Outcome.{self.name}"


def outcome_of(status: Status) -> Outcome:
    """The outcome a status stands for once printing has stopped, or
    :attr:`Outcome.TIMED_OUT` while it is still printing without a fault."""
    if not isinstance(status, Status):
        raise ArgumentTypeError(f"status is a zarn.Status, not {type(status).__name__}")
    c = status.to_c()
    return Outcome(_lib.client().outcome_of(ctypes.byref(c)))
