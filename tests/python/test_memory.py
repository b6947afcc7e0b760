# SPDX-License-Identifier: MIT
"""Reply memory: every allocated reply is released, the constant ones never.
10,000 queries of a 1000-byte reply would leak some 10 MB if one kind of
reply were kept; the process's resident size must stay flat."""

from __future__ import annotations

import os

import zarn
from conftest import start_tcp

REPLY = "x" * 1000


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_ten_thousand_queries_keep_memory_flat(tmp_path):
    emu = start_tcp(tmp_path, "--model", REPLY)
    try:
        with zarn.Printer(emu.address) as p:
            for _ in range(200):  # the allocator and the interpreter settle first
                p.query(f'OUT "{REPLY}"')
                p.name()
            before = resident_bytes()
            for i in range(10_000):
                # name() is one receive (printername), query() gathers up
                # to the end marker (sendcommand_getstring).
                reply = p.name() if i % 2 else p.query(f'OUT "{REPLY}"')
                assert reply in (REPLY, REPLY + "\r\n")
            grown = resident_bytes() - before
    finally:
        emu.stop()
    print(f"resident size grew by {grown / 1024:.0f} KiB over 10,000 queries")
    assert grown < 2 * 1024 * 1024
