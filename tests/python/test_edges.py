# SPDX-License-Identifier: MIT
"""The package at its edges: numbers past what a C argument holds, texts
that cannot be encoded, page lists past the end of the file, and a Printer
used from a forked child. Every bad argument raises a zarn.Error before
anything is sent."""

from __future__ import annotations

import dataclasses
import json
import os
import socket
import subprocess
import sys
import textwrap

import pytest
from PIL import Image

import zarn
from conftest import font
from test_cases import numbered_pdf

WRAPS = 2**32  # what ctypes drops without a word from a C int


def picture() -> Image.Image:
    return Image.new("L", (16, 8), 0)


def tcp_address(port: int) -> zarn.Address:
    return zarn.Address(kind=zarn.Kind.TCP, host="127.0.0.1", port=port)


@pytest.mark.parametrize(
    "action, words",
    [
        (lambda p: p.text_bitmap(2**31, 0, "Hi", font=font(), size=12), "x must be at most 2147483647, not 2147483648"),
        (lambda p: p.text_bitmap(0, WRAPS + 10, "Hi", font=font(), size=12), "y must be at most 2147483647"),
        (lambda p: p.text_bitmap(0, 0, "Hi", font=font(), size=WRAPS + 12), "size must be at most 2147483647"),
        (lambda p: p.image(picture(), x=WRAPS), "x must be at most 2147483647"),
        (lambda p: p.image(picture(), y=WRAPS + 5), "y must be at most 2147483647"),
        (lambda p: p.image(picture(), dpi=WRAPS + 203), "dpi is 203, 300 or 600"),
        (lambda p: p.print_file(picture(), copies=WRAPS + 1), "copies must be at most 2147483647"),
        (lambda p: p.text(WRAPS, 0, "x"), "x must be at most 2147483647"),
        (lambda p: p.print(copies=WRAPS + 1), "copies must be at most 2147483647"),
        (lambda p: p.barcode(0, 0, "1", height=10**400), "height must be at most 2147483647, not a 1329-bit number"),
        # Seconds whose milliseconds wrap to a timeout the library takes.
        (lambda p: setattr(p, "reply_timeout", (WRAPS + 5000) / 1000), "reply_timeout must be at most 2147483.647 s"),
        (lambda p: p.status(timeout=(WRAPS + 5000) / 1000), "timeout must be at most 2147483.647 s"),
        (lambda p: p.wait(timeout=(WRAPS + 100) / 1000), "timeout must be at most"),
    ],
)
def test_numbers_past_a_c_argument_are_refused_and_send_nothing(fake, action, words):
    printer = fake()
    with zarn.Printer(printer.address) as p:
        with pytest.raises(zarn.ArgumentError) as caught:
            action(p)
        assert p.reply_timeout == zarn.REPLY_TIMEOUT_SECONDS
    assert words in str(caught.value)
    assert printer.received() == b""


def test_numbers_past_a_c_argument_are_refused_without_a_printer():
    # A wrapped port would reach this listener.
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    refused = [
        (lambda: zarn.parse_pages("1", WRAPS + 1), "page_count must be 0 to 2147483647"),
        (lambda: zarn.check_upload_name("A", 2**64), "size must be at most"),
        (lambda: zarn.render(picture(), dpi=WRAPS + 203), "dpi is 203, 300 or 600"),
        (lambda: zarn.Printer(poll_interval=(WRAPS + 250) / 1000), "poll_interval must be at most"),
        (lambda: zarn.Printer(tcp_address(WRAPS + port)), "port must be"),
        (lambda: dataclasses.replace(zarn.Status.from_byte(0), bits=0x104).text, "bits are 0 to 255"),
    ]
    for action, words in refused:
        with pytest.raises(zarn.ArgumentError) as caught:
            action()
        assert words in str(caught.value)
    # A size past a C int is still a size_t, for the host layer to judge.
    zarn.check_upload_name("A", 2**40)
    listener.close()


@pytest.mark.parametrize(
    "action, error, words",
    [
        (lambda p: p.send("caf\udce9"), zarn.ArgumentError, "line cannot be sent as UTF-8"),
        (lambda p: p.text(0, 0, "\ud800"), zarn.ArgumentError, "content cannot be sent as UTF-8"),
        (lambda p: p.query("OUT \ud800"), zarn.ArgumentError, "command cannot be sent as UTF-8"),
        (lambda p: p.text_bitmap(0, 0, "Hi\ud800", font=font(), size=12), zarn.ArgumentError, "text cannot be sent as UTF-8"),
        (lambda p: p.text_bitmap(0, 0, "Hi", font="/tmp/\ud800.ttf", size=12), zarn.ArgumentError, "font cannot be a file name"),
        (lambda p: p.image("/tmp/\ud800.png"), zarn.ArgumentError, "cannot be a file name"),
        (lambda p: p.upload("/tmp/\ud800"), zarn.ArgumentError, "path cannot be a file name"),
        (lambda p: p.upload(__file__, "N\ud800"), zarn.ArgumentError, "name cannot be sent as UTF-8"),
        (lambda p: p.image(picture(), dither=["threshold"]), zarn.ArgumentError, "dither must be one of"),
        (lambda p: p.print_file(picture(), rotate={}), zarn.ArgumentError, "rotate must be one of"),
        (lambda p: p.image(picture(), fit=None), zarn.ArgumentError, "fit must be one of"),
        (lambda p: p.setup(10**400, 60), zarn.ArgumentError, "width_mm must be a number more than 0"),
        (lambda p: p.print(wait=True, timeout=10**400), zarn.ArgumentError, "timeout must be a number"),
        (lambda p: p.image(picture(), width_mm=10**400, height_mm=10), zarn.ArgumentError, "width_mm is too large"),
        # Python refuses str() and repr() of an int of more than 4300 digits.
        (lambda p: p.text(0, 0, "x", rotation=10**5000), zarn.ArgumentError, "rotation must be 0, 90, 180 or 270"),
        (lambda p: p.text(0, 0, "x", font=10**5000), zarn.ArgumentError, "font must be at most 2147483647"),
        (lambda p: p.image(picture(), dither="threshold", threshold=10**5000), zarn.AddressError, "bad threshold a 16610-bit number"),
        (lambda p: p.print_file(picture(), pages=[1, "2"]), zarn.ArgumentTypeError, "each an int"),
        (lambda p: p.print_file(picture(), pages=[]), zarn.ArgumentTypeError, "one page number or more"),
        (lambda p: p.print_file(picture(), pages=[0]), zarn.AddressError, "bad page 0 in the list"),
        (lambda p: p.print_file(picture(), pages=2**40), zarn.AddressError, "there is no page 1099511627776 (it has 1 page)"),
    ],
)
def test_bad_arguments_raise_zarn_errors_and_send_nothing(fake, action, error, words):
    printer = fake()
    with zarn.Printer(printer.address) as p:
        with pytest.raises(zarn.Error) as caught:
            action(p)
    assert isinstance(caught.value, error), repr(caught.value)
    assert words in str(caught.value)
    assert printer.received() == b""


def test_bad_arguments_without_a_printer_raise_zarn_errors(tmp_path):
    long_host = zarn.Address(kind=zarn.Kind.TCP, host="h" * 300)
    with zarn.render(picture()) as bitmap:
        refused = [
            (lambda: bitmap.ink(0.5, 0), zarn.ArgumentTypeError, "x is a whole number"),
            (lambda: bitmap.ink(0, "1"), zarn.ArgumentTypeError, "y is a whole number"),
            (lambda: bitmap.ink(10**5000, 0), zarn.ArgumentError, "(a 16610-bit number, 0) is outside the 16 x 8 bitmap"),
            (lambda: zarn.Status.from_byte(10**5000), zarn.ArgumentError, "a status byte is 0 to 255, not a 16610-bit number"),
            (lambda: bitmap.save_png(None), zarn.ArgumentTypeError, "path is a path"),
            (lambda: bitmap.save_png(str(tmp_path / "a\0b.png")), zarn.ArgumentError, "without NUL"),
            (lambda: zarn.Status.unanswered(99), zarn.ArgumentError, "reply is a zarn.Reply, not 99"),
            (lambda: zarn.outcome_of("ready"), zarn.ArgumentTypeError, "status is a zarn.Status, not str"),
            (lambda: zarn.parse_pages("1", "3"), zarn.ArgumentTypeError, "page_count is a whole number"),
            (lambda: zarn.Printer(long_host), zarn.AddressError, "the host is 300 bytes; the library takes at most 255"),
            (lambda: zarn.Printer(zarn.Address(kind="tcp", host="localhost")), zarn.ArgumentTypeError, "kind is a zarn.Kind"),
            (lambda: zarn.Address(kind=zarn.Kind.SERIAL, device="tty\udce9").text, zarn.ArgumentError, "device cannot be sent"),
            (lambda: zarn.pages("/tmp/\ud800.pdf"), zarn.ArgumentError, "cannot be a file name"),
        ]
        for action, error, words in refused:
            with pytest.raises(zarn.Error) as caught:
                action()
            assert isinstance(caught.value, error), repr(caught.value)
            assert words in str(caught.value)
        assert not (tmp_path / "a").exists()


def test_bytes_from_a_view_that_is_not_contiguous_are_sent(fake):
    printer = fake()
    with zarn.Printer(printer.address) as p:
        p.send_bytes(memoryview(b"a-b-c-")[::2])
    assert printer.received() == b"abc"


# Run in a child whose address space is capped a little above what it has
# after loading, so a selection that lists every page number it names
# fails with MemoryError instead of taking the machine's memory.
PAST_THE_END = textwrap.dedent(
    """
    import json, resource, sys
    import zarn
    address, pdf = sys.argv[1:]
    selections = {
        "'4-200000000'": "4-200000000",
        "'1,3-2000000000'": "1,3-2000000000",
        "range(4, 2**31)": range(4, 2**31),
        "range(1, 2**62)": range(1, 2**62),
        "a generator": (n for n in range(1, 2**40)),
        "[2, 2**40]": [2, 2**40],
    }
    with zarn.Printer(address) as p:
        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + (512 << 20), resource.RLIM_INFINITY))
        seen = {}
        for name, pages in selections.items():
            try:
                p.print_file(pdf, pages=pages)
                seen[name] = "printed"
            except zarn.Error as e:
                seen[name] = f"{type(e).__name__}: {e}"
            except MemoryError:
                seen[name] = "MemoryError"
    print(json.dumps(seen))
    """
)


def test_a_page_past_the_end_is_refused_before_a_page_is_listed(fake, tmp_path):
    pdf = numbered_pdf(tmp_path / "three.pdf", 3)
    printer = fake()
    child = subprocess.run(
        [sys.executable, "-c", PAST_THE_END, printer.address, str(pdf)], capture_output=True, text=True, timeout=120
    )
    assert child.returncode == 0, child.stderr
    seen = json.loads(child.stdout)
    expected = {
        "'4-200000000'": "AddressError: there is no page 4 (it has 3 pages)",
        "'1,3-2000000000'": "AddressError: there is no page 4 (it has 3 pages)",
        "range(4, 2**31)": "AddressError: there is no page 4 (it has 3 pages)",
        "range(1, 2**62)": "AddressError: there is no page 4 (it has 3 pages)",
        "a generator": "AddressError: there is no page 4 (it has 3 pages)",
        "[2, 2**40]": "AddressError: there is no page 1099511627776 (it has 3 pages)",
    }
    assert seen == expected
    assert printer.received() == b""


def test_a_printer_refuses_use_from_a_forked_child_and_stays_the_parents(fake):
    name_request = bytes.fromhex("7e21540a0d0d0a")

    def answer(data, conn):
        if data.endswith(name_request):
            conn.sendall(b"ZX420\r\n")

    printer = fake(answer)
    with zarn.Printer(printer.address) as p:
        p.send("CLS")
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:  # the child: report and leave without pytest's cleanup
            seen = []
            try:
                for call in (lambda: p.send("CLS"), p.name, p.status, lambda: p.print_file(picture())):
                    try:
                        call()
                        seen.append("sent")
                    except zarn.OtherProcessError as e:
                        seen.append(str(e))
                seen.append(p.is_open)
                p.close()  # forgets the copy; the parent's stays open
                del p
                import gc

                gc.collect()
                # The process's one connection is still taken in the child's
                # copy of the library.
                try:
                    zarn.Printer(printer.address).close()
                    seen.append("opened")
                except zarn.BusyError:
                    seen.append("busy")
                os.write(write, json.dumps(seen).encode())
            finally:
                os._exit(0)
        os.close(write)
        with os.fdopen(read) as r:
            seen = json.loads(r.read())
        os.waitpid(pid, 0)
        assert seen[4:] == [False, "busy"]
        for words in seen[:4]:
            assert f"was opened by process {os.getpid()}, not this one" in words
            assert isinstance(zarn.OtherProcessError("x"), zarn.ClosedError)
        # The parent's connection is whole: it sends and reads its own answers.
        assert p.is_open
        assert p.name() == "ZX420"
        p.send("END")
    assert printer.received() == b"CLS\r\n" + name_request + b"END\r\n"
