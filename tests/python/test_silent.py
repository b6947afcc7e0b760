# SPDX-License-Identifier: MIT
"""The one test that waits the library's whole reply wait (10 s): a printer
that takes the request and never answers is "no reply", not "ready"."""

from __future__ import annotations

import time

import zarn


def test_a_silent_printer_is_no_reply_after_the_reply_wait(fake):
    printer = fake()  # reads everything, answers nothing
    with zarn.Printer(printer.address) as p:
        start = time.monotonic()
        status = p.status()
        took = time.monotonic() - start
    assert status == zarn.Status.unanswered() and status.text == "no reply" and not status.ready
    assert zarn.REPLY_WAIT_SECONDS * 0.95 <= took < zarn.REPLY_WAIT_SECONDS + 5
    assert printer.received() == b"\x1b!?\r\n\r\n"
