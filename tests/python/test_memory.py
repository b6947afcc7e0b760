# SPDX-License-Identifier: MIT
"""Reply memory: every allocated reply is released, the constant ones never.
10,000 queries of a 1000-byte reply would leak some 10 MB if one kind of
reply were kept; the process's resident size must stay flat. And printing
a long PDF holds no more bitmaps than zarn print does."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import zarn
from conftest import labels_pdf, start_tcp

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


# The child prints to a loopback peer of its own that only counts, and
# says how far its peak resident size rose above what it had before.
PRINT_PDF = textwrap.dedent(
    """
    import json, resource, socket, sys, threading
    import zarn
    listener = socket.create_server(("127.0.0.1", 0))
    received = [0]
    def count():
        conn, _ = listener.accept()
        while piece := conn.recv(1 << 20):
            received[0] += len(piece)
    counter = threading.Thread(target=count)
    counter.start()
    with zarn.Printer(f"tcp://127.0.0.1:{listener.getsockname()[1]}") as p:
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        p.print_file(sys.argv[1])
    counter.join()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"before": before, "peak": peak, "sent": received[0]}))
    """
)


def test_a_ten_thousand_page_pdf_prints_within_the_kept_bitmaps(tmp_path):
    pdf = labels_pdf(tmp_path / "long.pdf", 10_000)
    child = subprocess.run([sys.executable, "-c", PRINT_PDF, str(pdf)], capture_output=True, text=True, timeout=280)
    assert child.returncode == 0, child.stderr
    m = json.loads(child.stdout)
    grown = m["peak"] - m["before"]
    print(f"10,000 pages: peak {m['peak'] / 2**20:.0f} MiB, {grown / 2**20:.0f} MiB over the start, {m['sent']} bytes sent")
    assert m["sent"] > 10_000 * 1000
    # All 10,000 bitmaps are some 1.2 GiB; zarn print keeps 256 MiB of them.
    assert grown < (256 + 64) << 20
