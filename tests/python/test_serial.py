# SPDX-License-Identifier: MIT
"""The package over a serial line: the emulator on a pty linked as /dev/ttyNAME."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

import zarn
from conftest import unavailable
from test_emulator import check_example_label, run_example


def test_the_example_prints_over_serial(serial_emulator, tmp_path):
    address = serial_emulator.address + "?baud=9600&parity=none&data=8&stop=1"
    result = run_example(tmp_path, address)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("Status(ready=True, paper_out=False,")
    (png,) = serial_emulator.wait_labels(1)
    check_example_label(png)


def test_status_queries_and_a_fault_over_serial(serial_emulator):
    with zarn.Printer(serial_emulator.address + "?parity=even&data=7&stop=2") as p:
        assert p.describe() == serial_emulator.address + "?baud=115200&parity=even&data=7&stop=2"
        assert p.name() == "ZARN-EMU 203"
        assert p.status().ready
        p.send("EMULATOR STATUS ribbon-out+paused")
        assert p.status().text == "ribbon out, paused"
        with pytest.raises(zarn.RibbonOut):
            p.print(wait=True, timeout=5)


def test_a_device_that_is_not_a_terminal_is_refused():
    if os.geteuid() != 0:
        unavailable("a link under /dev needs root")
    link = Path(f"/dev/ttyZarnPyNull{os.getpid()}")
    link.symlink_to("/dev/null")
    try:
        with pytest.raises(zarn.ConnectError, match=f"cannot use the serial printer {link}: it is not a terminal"):
            zarn.Printer(f"serial:{link.name}")
        with pytest.raises(zarn.ConnectError, match="not a terminal"):
            zarn.Printer(f"serial:{link.name}")  # the failed open gave the connection back
    finally:
        link.unlink()
