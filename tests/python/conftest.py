# SPDX-License-Identifier: MIT
"""Fixtures for the Python package's tests: the emulator as a child process
over TCP or a serial pty, and a fake printer on loopback that records every
byte. CTest sets ZARN_LIBRARY, ZARN_RASTER_LIBRARY, ZARN_EMULATOR, ZARN_CLI,
ZARN_TEST_FONT and PYTHONPATH; with CI set, a fixture that cannot start
fails instead of skipping."""

from __future__ import annotations

import gc
import os
import re
import socket
import subprocess
import threading
import time
from pathlib import Path

import pytest

import zarn


def unavailable(why: str) -> None:
    if os.environ.get("CI"):
        pytest.fail(why)
    pytest.skip(why)


def tool(env: str) -> str:
    path = os.environ.get(env, "")
    if not path or not os.access(path, os.X_OK):
        unavailable(f"${env} does not name a built program (run through ctest)")
    return path


def font() -> str:
    """The TrueType font the build found through fontconfig."""
    path = os.environ.get("ZARN_TEST_FONT", "")
    if not path or not os.access(path, os.R_OK):
        unavailable(f"$ZARN_TEST_FONT does not name a readable font ({path!r}; run through ctest)")
    return path


def wait_for(check, what: str, limit: float = 10.0):
    end = time.monotonic() + limit
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() > end:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)


class Emulator:
    """zarn-emulator over TCP (port 0) or a serial pty, output in a folder."""

    def __init__(self, folder: Path, transport: list[str], *options: str) -> None:
        self.out = folder / "labels"
        self.out.mkdir(parents=True, exist_ok=True)
        self.log = folder / "emulator.log"
        self.errors = folder / "emulator.err"
        argv = [tool("ZARN_EMULATOR"), "--out", str(self.out), *options, *transport]
        with open(self.log, "wb") as out, open(self.errors, "wb") as err:
            self.process = subprocess.Popen(argv, stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        self.address = ""

    def stdout(self) -> str:
        return self.log.read_text(errors="replace")

    def labels(self) -> list[Path]:
        return sorted(self.out.glob("label-*.png"))

    def wait_labels(self, count: int) -> list[Path]:
        # A label's PNG is complete once its console line is out.
        wait_for(lambda: len(re.findall(r"^label \d+:", self.stdout(), re.M)) >= count, f"{count} labels")
        return self.labels()

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def start_tcp(folder: Path, *options: str) -> Emulator:
    emu = Emulator(folder, ["--tcp", "127.0.0.1:0"], *options)
    try:
        found = wait_for(lambda: re.search(r"listening on ([\d.]+):(\d+)", emu.stdout()) or emu.process.poll() is not None, "the emulator")
    except AssertionError:
        found = None
    if not isinstance(found, re.Match):
        emu.stop()
        unavailable(f"the emulator did not start: {emu.errors.read_text(errors='replace')}")
    emu.address = f"tcp://{found.group(1)}:{found.group(2)}"
    return emu


def start_serial(folder: Path, *options: str) -> Emulator:
    if os.geteuid() != 0:
        unavailable("the serial emulator links /dev/NAME only as root")
    name = f"ttyZarnPy{os.getpid()}"
    emu = Emulator(folder, ["--serial", name], *options)
    try:
        wait_for(lambda: "linked as" in emu.stdout() or emu.process.poll() is not None, "the serial emulator")
    except AssertionError:
        pass
    if not Path("/dev", name).exists():
        emu.stop()
        unavailable(f"the serial emulator did not start: {emu.errors.read_text(errors='replace')}")
    emu.address = f"serial:{name}"
    return emu


@pytest.fixture
def emulator(tmp_path):
    emu = start_tcp(tmp_path)
    yield emu
    emu.stop()


@pytest.fixture
def serial_emulator(tmp_path):
    emu = start_serial(tmp_path)
    yield emu
    emu.stop()


class FakePrinter:
    """A TCP peer on loopback that records what arrives. ``answer(data,
    conn)`` is called after each piece with everything received so far and
    may reply or close; it returns True once the fake should stop reading."""

    def __init__(self, answer=None) -> None:
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.address = f"tcp://127.0.0.1:{self.listener.getsockname()[1]}"
        self.data = bytearray()
        self.answer = answer
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self) -> None:
        conn, _ = self.listener.accept()
        with conn:
            while True:
                piece = conn.recv(65536)
                if not piece:
                    break
                self.data += piece
                if self.answer and self.answer(bytes(self.data), conn):
                    break
        self.done.set()

    def received(self, limit: float = 10.0) -> bytes:
        """Everything the host sent, once it closed the connection."""
        assert self.done.wait(limit), "the host did not close the connection"
        return bytes(self.data)

    def close(self) -> None:
        self.listener.close()


@pytest.fixture
def fake():
    made: list[FakePrinter] = []

    def make(answer=None) -> FakePrinter:
        made.append(FakePrinter(answer))
        return made[-1]

    yield make
    for f in made:
        f.close()


@pytest.fixture(autouse=True)
def no_printer_left_open():
    """A failed test may leave a Printer in its traceback; the next test
    must still find the process's one connection free."""
    yield
    gc.collect()
    for obj in gc.get_objects():
        if isinstance(obj, zarn.Printer):
            obj.close()


def run(argv: list[str], **kw) -> subprocess.CompletedProcess:
    return subprocess.run(argv, capture_output=True, text=True, timeout=120, **kw)


def labels_pdf(path: Path, count: int) -> Path:
    """A PDF of count pages of 4 x 6 in (a label at 203 dpi is some 124 KB
    of bitmap), page n with a black bar n points from the left edge, so
    that every page's BITMAP differs."""
    objects = [b"<< /Type /Catalog /Pages 2 0 R >>", b""]
    kids = []
    for n in range(1, count + 1):
        bar = b"0 g %d 36 72 36 re f" % (n % 200)
        objects.append(b"<< /Length %d >>\nstream\n%s\nendstream" % (len(bar), bar))
        objects.append(b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 288 432] /Contents %d 0 R /Resources << >> >>" % len(objects))
        kids.append(b"%d 0 R" % len(objects))
    objects[1] = b"<< /Type /Pages /Kids [%s] /Count %d >>" % (b" ".join(kids), count)
    out = bytearray(b"%PDF-1.4\n")
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n%s\nendobj\n" % (number, body)
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % o for o in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    path.write_bytes(bytes(out))
    return path
