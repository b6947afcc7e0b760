# SPDX-License-Identifier: MIT
"""The printer's status byte decoded into words, as the ``zarn`` command and
the C++ interface (``zarn::Status``) decode it."""

from __future__ import annotations

import enum
from dataclasses import dataclass, field

from .errors import ArgumentError


class Condition(enum.IntFlag):
    """Bits of the status byte; several can be set at once, none means ready."""

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
        for condition, words in _CONDITION_WORDS:
            if condition == self:
                return words
        return "unknown"


# The order in which conditions are reported: what stops printing first.
_CONDITION_WORDS = (
    (Condition.PAPER_OUT, "paper out"),
    (Condition.RIBBON_OUT, "ribbon out"),
    (Condition.PAPER_JAM, "paper jam"),
    (Condition.HEAD_OPEN, "head open"),
    (Condition.COVER_OPEN, "cover open"),
    (Condition.TEMPERATURE, "temperature out of range"),
    (Condition.PAUSED, "paused"),
    (Condition.PRINTING, "printing"),
)


class Reply(enum.Enum):
    """Whether the printer answered the status request."""

    ANSWERED = "answered"  # the printer sent its status byte
    NO_REPLY = "no reply"  # nothing within the reply wait, or the connection is gone
    RECEIVE_FAILED = "receive failed"  # the library reported a failed receive

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
        if not 0 <= byte <= 0xFF:
            raise ArgumentError(f"a status byte is 0 to 255, not {byte}")
        has = lambda c: bool(byte & c)  # noqa: E731
        return cls(
            ready=byte == 0,
            paper_out=has(Condition.PAPER_OUT),
            ribbon_out=has(Condition.RIBBON_OUT),
            paper_jam=has(Condition.PAPER_JAM),
            head_open=has(Condition.HEAD_OPEN),
            cover_open=has(Condition.COVER_OPEN),
            temperature=has(Condition.TEMPERATURE),
            paused=has(Condition.PAUSED),
            printing=has(Condition.PRINTING),
            reply=Reply.ANSWERED,
            bits=byte,
        )

    @classmethod
    def unanswered(cls, reply: Reply = Reply.NO_REPLY) -> Status:
        """A status for a printer that did not answer."""
        if reply is Reply.ANSWERED:
            raise ArgumentError("an unanswered status needs NO_REPLY or RECEIVE_FAILED")
        return cls(False, False, False, False, False, False, False, False, False, reply, 0)

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
        """The conditions that are set, most pressing first."""
        if not self.answered:
            return []
        return [c for c, _ in _CONDITION_WORDS if self.bits & c]

    @property
    def text(self) -> str:
        """``"ready"``, ``"paper out, head open"``, ``"no reply"`` or
        ``"receive failed"``: the words of the ``zarn status`` command."""
        if not self.answered:
            return self.reply.value
        if self.bits == 0:
            return "ready"
        return ", ".join(c.words for c in self.conditions)


class Outcome(enum.Enum):
    """How a printed job ended, as :meth:`Printer.wait_until_printed` saw it."""

    PRINTED = "printed"  # the printing bit cleared and nothing needs attention
    PAPER_OUT = "paper out"
    RIBBON_OUT = "ribbon out"
    PAPER_JAM = "paper jam"
    HEAD_OR_COVER_OPEN = "head or cover open"
    TEMPERATURE = "temperature out of range"
    PAUSED = "paused"
    NO_REPLY = "no reply"  # the printer stopped answering (or the receive failed)
    TIMED_OUT = "timed out"  # still printing when the time was up


_OUTCOME_OF_CONDITION = {
    Condition.PAPER_OUT: Outcome.PAPER_OUT,
    Condition.RIBBON_OUT: Outcome.RIBBON_OUT,
    Condition.PAPER_JAM: Outcome.PAPER_JAM,
    Condition.HEAD_OPEN: Outcome.HEAD_OR_COVER_OPEN,
    Condition.COVER_OPEN: Outcome.HEAD_OR_COVER_OPEN,
    Condition.TEMPERATURE: Outcome.TEMPERATURE,
    Condition.PAUSED: Outcome.PAUSED,
    Condition.PRINTING: Outcome.TIMED_OUT,
}


def outcome_of(status: Status) -> Outcome:
    """The outcome a status stands for once printing has stopped, or
    :attr:`Outcome.TIMED_OUT` while it is still printing without a fault."""
    if not status.answered:
        return Outcome.NO_REPLY
    for condition in status.conditions:
        return _OUTCOME_OF_CONDITION[condition]
    return Outcome.PRINTED
