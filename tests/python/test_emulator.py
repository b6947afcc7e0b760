# SPDX-License-Identifier: MIT
"""The package against the emulator over TCP: the documented example as
written, status decoding as the zarn command decodes it, each outcome of
waiting for a label, queries, and connections that fail."""

from __future__ import annotations

import os
import re
import socket
import struct
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest
from PIL import Image

import zarn
from conftest import run, start_tcp, tool, wait_for


def documented_example() -> str:
    """The package's own example (its docstring, as the README shows it),
    with ADDRESS for the printer's address."""
    block = zarn.__doc__.split("::\n\n", 1)[1].split("\n\n", 1)[0]
    return textwrap.dedent(block).replace("tcp://printer.local", "ADDRESS") + "\n"


EXAMPLE = documented_example()


def run_example(folder: Path, address: str, runner: list[str] | None = None) -> subprocess.CompletedProcess:
    """Runs the example as a script of its own, in a folder with a logo."""
    logo = Image.new("L", (120, 80), 255)
    logo.paste(0, (0, 0, 120, 80))
    logo.paste(255, (20, 20, 100, 60))  # a black frame 20 dots wide
    logo.save(folder / "logo.png")
    (folder / "example.py").write_text(EXAMPLE.replace("ADDRESS", address))
    return run([*(runner or []), sys.executable, "example.py"], cwd=folder)


def check_example_label(png: Path) -> None:
    label = Image.open(png).convert("L")
    assert label.size == (800, 480)  # 100 x 60 mm at 8 dots per mm
    ink = lambda x, y: label.getpixel((x, y)) < 128  # noqa: E731
    # The logo's frame at (400, 40), its inside left blank.
    assert all(ink(400 + d, 40 + d) for d in range(0, 20, 3))
    assert ink(519, 119) and not ink(460, 80)
    # "Hello" in font 3 (16 x 24 dot cells) at (40, 40): ink there, none left of it.
    assert any(ink(x, y) for x in range(40, 120) for y in range(40, 64))
    assert not any(ink(x, y) for x in range(0, 40) for y in range(40, 64))
    decoded = run(["zbarimg", "--raw", "-q", str(png)])
    assert decoded.stdout.strip() == "ZARN-0001", decoded.stderr


def test_the_example_prints_a_label(emulator, tmp_path):
    result = run_example(tmp_path, emulator.address)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("Status(ready=True, paper_out=False, ribbon_out=False,")
    (png,) = emulator.wait_labels(1)
    check_example_label(png)


@pytest.mark.parametrize("byte", [0x00, 0x20, 0x04 | 0x01, 0x52, 0xFF])
def test_status_words_agree_with_the_zarn_command(tmp_path, byte):
    emu = start_tcp(tmp_path, "--status", str(byte))
    try:
        with zarn.Printer(emu.address) as p:
            status = p.status()
        command = run([tool("ZARN_CLI"), "-p", emu.address, "status"])
    finally:
        emu.stop()
    assert status == zarn.Status.from_byte(byte) and status.bits == byte
    assert status.text == command.stdout.strip()
    assert status.ready == (byte == 0) and status.printing == bool(byte & 0x20)


@pytest.mark.parametrize(
    "condition, error, words",
    [
        ("paper-out", zarn.PaperOut, "paper out"),
        ("ribbon-out", zarn.RibbonOut, "ribbon out"),
        ("paper-jam", zarn.PaperJam, "paper jam"),
        ("head-open", zarn.HeadOpen, "head open"),
        ("cover-open", zarn.HeadOpen, "cover open"),
        ("paused", zarn.Paused, "paused"),
        ("error", zarn.HeadTemperature, "temperature out of range"),
        ("paper-out+head-open+printing", zarn.PaperOut, "paper out, head open, printing"),
    ],
)
def test_each_fault_while_printing_raises_its_exception(emulator, condition, error, words):
    with zarn.Printer(emulator.address) as p:
        p.send(f"EMULATOR STATUS {condition}")
        p.clear()
        p.text(10, 10, "blocked")
        with pytest.raises(error) as caught:
            p.print(wait=True, timeout=5)
    assert isinstance(caught.value, zarn.WaitError)
    assert caught.value.status.text == words
    assert str(caught.value) == f"the label did not print: {words} (printer at {emulator.address})"
    if condition != "error":  # the temperature bit does not stop the emulator
        assert emulator.labels() == []


def test_waiting_lasts_the_print_time(tmp_path):
    emu = start_tcp(tmp_path, "--print-time", "1500")
    try:
        with zarn.Printer(emu.address, poll_interval=0.05) as p:
            p.clear()
            p.text(10, 10, "slow")
            with pytest.raises(zarn.Timeout, match="still printing after 0.3 s") as caught:
                p.print(wait=True, timeout=0.3)
            assert caught.value.status.text == "printing"
            assert p.wait_until_printed(0.05) is zarn.Outcome.TIMED_OUT
            assert p.last_status.text == "printing" and p.last_status.printing
            start = time.monotonic()
            p.wait(10)  # the rest of the print time
            assert time.monotonic() - start > 0.5
    finally:
        emu.stop()
    assert len(emu.labels()) == 1


def test_paper_that_runs_out_during_a_job(tmp_path):
    emu = start_tcp(tmp_path, "--paper", "2")
    try:
        with zarn.Printer(emu.address) as p:
            p.clear()
            p.text(10, 10, "three")
            with pytest.raises(zarn.PaperOut, match="the label did not print: paper out"):
                p.print(copies=3, wait=True, timeout=5)
            assert len(emu.labels()) == 2
            p.send("EMULATOR PAPER 5")
            p.print(wait=True, timeout=5)
        assert len(emu.wait_labels(3)) == 3
    finally:
        emu.stop()


def test_a_head_opened_while_waiting(tmp_path):
    emu = start_tcp(tmp_path, "--print-time", "5000", "--control", "127.0.0.1:0")
    try:
        host, port = wait_for(lambda: re.search(r"control on ([\d.]+):(\d+)", emu.stdout()), "the control port").groups()

        def open_head() -> None:
            with socket.create_connection((host, int(port))) as c:
                c.sendall(b"EMULATOR HEAD OPEN\r\n")
                assert c.recv(100) == b"ok\r\n"

        with zarn.Printer(emu.address, poll_interval=0.05) as p:
            p.clear()
            p.print()
            opener = threading.Timer(0.3, open_head)
            opener.start()
            start = time.monotonic()
            with pytest.raises(zarn.HeadOpen) as caught:
                p.wait(10)
            opener.join()
        assert 0.3 <= time.monotonic() - start < 5
        assert caught.value.status.text == "head open, printing"
    finally:
        emu.stop()


def test_queries(emulator):
    with zarn.Printer(emulator.address) as p:
        assert p.name() == "ZARN-EMU 203"
        assert p.serial() == "ZE00000001"
        assert p.query('OUT "gr\u00fc\u00dfe"') == "gr\u00fc\u00dfe\r\n"
        assert p.query("OUT _MODEL$") == "ZARN-EMU 203\r\n"


def peer(answer):
    """A fake printer that answers the status request with answer(n, conn)."""

    def respond(data, conn):
        n = data.count(b"\x1b!?")
        if data.endswith(b"\x1b!?\r\n\r\n") and n:
            return answer(n, conn)
        return False

    return respond


def test_a_vanished_printer_is_disconnected_at_once(fake):
    printer = fake(peer(lambda n, conn: True))  # reads the request and hangs up
    with zarn.Printer(printer.address) as p:
        start = time.monotonic()
        with pytest.raises(zarn.NoReply, match=r"did not answer the status request \(disconnected\)") as caught:
            p.print(wait=True, timeout=30)
        assert time.monotonic() - start < 1.5  # not the reply timeout
    error = caught.value
    assert error.status == zarn.Status.unanswered(zarn.Reply.DISCONNECTED) and error.outcome is zarn.Outcome.NO_REPLY
    assert isinstance(error, zarn.ReplyError) and error.reply is zarn.Reply.DISCONNECTED


def test_a_query_whose_printer_hangs_up_is_a_reply_error(fake):
    printer = fake(lambda data, conn: data.endswith(b'OUT "ENDLINE"\r\n'))
    with zarn.Printer(printer.address) as p:
        with pytest.raises(zarn.ReplyError, match=r"the printer at tcp://\S+ disconnected before answering 'OUT _MODEL\$'") as caught:
            p.query("OUT _MODEL$")
    assert caught.value.reply is zarn.Reply.DISCONNECTED


def test_byte_0x52_is_its_conditions_and_a_reset_is_disconnected(fake):
    answers_r = fake(peer(lambda n, conn: conn.sendall(b"R")))
    with zarn.Printer(answers_r.address) as p:
        assert p.status().text == "paper jam, cover open, paused"
        assert p.status() == zarn.Status.from_byte(0x52)

    def reset(n, conn):
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        return True  # closing now resets the connection

    fails = fake(peer(reset))
    with zarn.Printer(fails.address) as p:
        status = p.status()
    assert status.reply is zarn.Reply.DISCONNECTED and status.text == "disconnected" and not status.ready


@pytest.mark.parametrize(
    "address, error, message",
    [
        ("lpt1", zarn.AddressError, "bad printer address 'lpt1': use usb, serial:ttyNAME"),
        ("tcp://", zarn.AddressError, "expected tcp://HOST or tcp://HOST:PORT"),
        ("tcp://host:99999", zarn.AddressError, "the port must be a number from 1 to 65535"),
        ("tcp://[::1]:9100", zarn.AddressError, "IPv6 is not supported"),
        ("serial:sda1", zarn.AddressError, "a name under /dev beginning with tty"),
        ("serial:ttyS0?baud=1234", zarn.AddressError, "baud must be one of 115200, 38400"),
        ("serial:ttyS0?parity=mark", zarn.AddressError, "parity must be none, odd, even or space"),
        ("serial:ttyS0?flow=rts", zarn.AddressError, "unknown serial setting 'flow'"),
        ("serial:ttyS0?baud", zarn.AddressError, "serial settings are KEY=VALUE joined by &"),
        ("serial:ttyZarnMissing", zarn.ConnectError, "cannot open the serial printer /dev/ttyZarnMissing: No such file"),
        ("usb", zarn.ConnectError, "cannot open the USB printer: no device with the printer vendor ID"),
        ("tcp://no-such-host.invalid", zarn.ConnectError, "cannot find the printer host 'no-such-host.invalid'"),
        (None, zarn.ConnectError, "cannot connect to the printer at tcp://127.0.0.1:"),
        (42, zarn.ArgumentTypeError, "a printer address is a str"),
    ],
)
def test_bad_and_unreachable_addresses(address, error, message):
    if address is None:  # a port on which nothing listens
        with socket.create_server(("127.0.0.1", 0)) as s:
            address = f"tcp://127.0.0.1:{s.getsockname()[1]}"
    with pytest.raises(error) as caught:
        zarn.Printer(address)
    assert message in str(caught.value)
    if "127.0.0.1" in str(address):
        assert "Connection refused" in str(caught.value)


def test_addresses_read_as_the_command_reads_them():
    a = zarn.Address.parse("SERIAL:/dev/ttyUSB0?Baud=9600&parity=E&data=7&stop=2&")
    assert (a.kind, a.device, a.settings) == (zarn.Kind.SERIAL, "ttyUSB0", zarn.SerialSettings(9600, "E", 7, 2))
    assert a.text == "serial:ttyUSB0?baud=9600&parity=even&data=7&stop=2"
    assert zarn.Address.parse("tcp://printer.local/") == zarn.Address(zarn.Kind.TCP, host="printer.local", port=9100)
    assert zarn.Address.parse("tcp://10.0.0.5:6101").text == "tcp://10.0.0.5:6101"
    assert zarn.Address.parse("USB").text == "usb"


@pytest.mark.parametrize("env", ["ZARN_LIBRARY", "ZARN_CLIENT_LIBRARY"])
def test_library_not_found_is_a_clear_error(tmp_path, env):
    missing = tmp_path / "missing.so.1"
    code = "import zarn\ntry:\n    zarn.Printer('usb')\nexcept zarn.LibraryError as e:\n    print(e)"
    result = run([sys.executable, "-c", code], env={**os.environ, env: str(missing)})
    assert result.stdout.startswith(f"cannot load {env}={missing}: "), result.stderr
