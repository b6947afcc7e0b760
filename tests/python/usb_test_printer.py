# SPDX-License-Identifier: MIT
"""The package over USB: pytest itself runs inside `zarn-emulator --usb`,
so libusb in this process sees the emulated printer (umockdev). CTest
starts it that way and names the label folder in ZARN_USB_OUT."""

from __future__ import annotations

import contextlib
import io
import os
import re
from pathlib import Path

import pytest
from PIL import Image

import zarn
from conftest import unavailable
from test_emulator import EXAMPLE, check_example_label


@pytest.fixture
def usb_out() -> Path:
    out = os.environ.get("ZARN_USB_OUT")
    if not out:
        unavailable("run inside zarn-emulator --usb with ZARN_USB_OUT set (ctest does)")
    return Path(out)


def test_the_example_prints_over_usb(usb_out, tmp_path, monkeypatch):
    for old in usb_out.glob("label-*.png"):  # an earlier run's
        old.unlink()
    logo = Image.new("L", (120, 80), 0)
    logo.paste(255, (20, 20, 100, 60))
    logo.save(tmp_path / "logo.png")
    monkeypatch.chdir(tmp_path)
    shown = io.StringIO()
    with contextlib.redirect_stdout(shown):
        exec(EXAMPLE.replace("ADDRESS", "usb"), {})
    assert shown.getvalue().startswith("Status(ready=True, paper_out=False,")
    # print(wait=True) returned after the status that followed PRINT in the
    # stream, so the emulator had written the label by then.
    (png,) = usb_out.glob("label-*.png")
    check_example_label(png)


def test_status_and_queries_over_usb(usb_out):
    with zarn.Printer("usb") as p:
        assert p.name() == "ZARN-EMU 203"
        assert re.fullmatch(r"ZE\d+", p.serial())
        p.send("EMULATOR STATUS head-open")
        with pytest.raises(zarn.HeadOpen, match="head open"):
            p.print(wait=True, timeout=5)
        p.send("EMULATOR STATUS ok")
        assert p.status().ready
