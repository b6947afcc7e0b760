# SPDX-License-Identifier: MIT
"""A printer that takes every request and never answers: "no reply" after
the reply timeout the host chose (2 s unless set), never "ready", and never
the library's own 10 s wait."""

from __future__ import annotations

import time

import pytest

import zarn


def timed(action):
    start = time.monotonic()
    result = action()
    return result, time.monotonic() - start


def test_a_silent_printer_is_no_reply_after_the_reply_timeout(fake):
    printer = fake()  # reads everything, answers nothing
    with zarn.Printer(printer.address) as p:
        assert p.reply_timeout == zarn.REPLY_TIMEOUT_SECONDS == 2.0
        status, took = timed(p.status)
        assert status == zarn.Status.unanswered() and status.text == "no reply" and not status.ready
        assert 2.0 - 0.05 <= took < 3.0
        # One request with a wait of its own, and the printer's own after it.
        status, took = timed(lambda: p.status(timeout=0.3))
        assert status.reply is zarn.Reply.NO_REPLY and 0.25 <= took < 1.0
        assert p.reply_timeout == 2.0
        p.reply_timeout = 0.4
        with pytest.raises(zarn.ReplyError, match="no reply to the name request") as caught:
            timed(p.name)
        assert caught.value.reply is zarn.Reply.NO_REPLY
        with pytest.raises(zarn.NoReply, match=r"did not answer the status request \(no reply\)") as waited:
            p.wait(30)
        assert waited.value.status.reply is zarn.Reply.NO_REPLY
    assert printer.received() == b"\x1b!?\r\n\r\n" * 2 + b"~!T\n\r\r\n" + b"\x1b!?\r\n\r\n"


def test_reply_timeouts_out_of_range_are_refused(fake):
    with pytest.raises(zarn.ArgumentError, match="the reply timeout is from 1 to 60000 ms, not 61000"):
        zarn.Printer(fake().address, reply_timeout=61)
    # The refused Printer gave the process's connection back.
    printer = fake()
    with zarn.Printer(printer.address) as p:
        with pytest.raises(zarn.ArgumentError, match="from 1 to 60000 ms, not 0"):
            p.status(timeout=0)
        with pytest.raises(zarn.ArgumentTypeError):
            p.reply_timeout = "1"
        assert p.reply_timeout == 2.0
    assert printer.received() == b""
