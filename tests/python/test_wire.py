# SPDX-License-Identifier: MIT
"""Every method's bytes on the wire, through the real library to a fake
printer on loopback TCP, and bad input refused before anything is sent."""

from __future__ import annotations

import ctypes
import io
import os
import re

import pytest
from PIL import Image

import zarn
from conftest import font, labels_pdf, run, tool


def sent(fake, action) -> bytes:
    printer = fake()
    with zarn.Printer(printer.address) as p:
        action(p)
    return printer.received()


@pytest.mark.parametrize(
    "action, wire",
    [
        (lambda p: p.setup(100, 60), b"SIZE 100 mm,60 mm\r\nSPEED 4\r\nDENSITY 8\r\nGAP 3 mm,0 mm\r\n"),
        (
            lambda p: p.setup(width_mm=50.8, height_mm=25.4, speed=2.5, density=12, gap_mm=2, gap_offset_mm=0.5, black_line=True),
            b"SIZE 50.8 mm,25.4 mm\r\nSPEED 2.5\r\nDENSITY 12\r\nBLINE 2 mm,0.5 mm\r\n",
        ),
        (lambda p: p.clear(), b"CLS\r\n"),
        (lambda p: p.text(40, 40, "Hello", font="3"), b'TEXT 40,40,"3",0,1,1,"Hello"\r\n'),
        (
            lambda p: p.text(1, 2, 'Say "hi" \u00fc', font=5, rotation=90, x_mul=2, y_mul=3),
            'TEXT 1,2,"5",90,2,3,"Say \\["]hi\\["] \u00fc"\r\n'.encode(),
        ),
        (lambda p: p.text(0, 0, "@1"), b'TEXT 0,0,"3",0,1,1,@1\r\n'),
        (lambda p: p.text(0, 0, b"\xe9t\xe9"), b'TEXT 0,0,"3",0,1,1,"\xe9t\xe9"\r\n'),
        (
            lambda p: p.barcode(40, 120, "ZARN-0001", kind="128", height=80),
            b'BARCODE 40,120,"128",80,1,0,2,2,"ZARN-0001"\r\n',
        ),
        (
            lambda p: p.barcode(5, 6, "4006381333931", kind="EAN13", height=50, readable=False, rotation=180, narrow=3, wide=6),
            b'BARCODE 5,6,"EAN13",50,0,180,3,6,"4006381333931"\r\n',
        ),
        (lambda p: p.print(), b"PRINT 1,1\r\n"),
        (lambda p: p.print(2, sets=3), b"PRINT 3,2\r\n"),
        (lambda p: p.feed(), b"FORMFEED\r\n"),
        (lambda p: p.no_backfeed(), b"SET STRIPER OFF\r\nSET TEAR OFF\r\n"),
        (lambda p: p.send("SOUND 1,100"), b"SOUND 1,100\r\n"),
        (lambda p: p.send("TEXT 0,0,\"3\",0,1,1,\"\u20ac\""), 'TEXT 0,0,"3",0,1,1,"\u20ac"\r\n'.encode()),
        (lambda p: p.send(b"\xff\xfe"), b"\xff\xfe\r\n"),
        (lambda p: p.send_bytes(b"\x00\x01\r\nraw"), b"\x00\x01\r\nraw"),
        (lambda p: p.send_bytes(bytearray(b"ab")), b"ab"),
        (lambda p: p.send_bytes(b""), b""),
    ],
)
def test_commands_on_the_wire(fake, action, wire):
    assert sent(fake, action) == wire


def test_upload_sends_the_file_as_download(fake, tmp_path):
    f = tmp_path / "logo.pcx"
    f.write_bytes(b"\x00PCX\xff")
    assert sent(fake, lambda p: p.upload(f)) == b'DOWNLOAD F,"logo.pcx",5,\x00PCX\xff\r\n\r\n'
    assert sent(fake, lambda p: p.upload(str(f), "LOGO")) == b'DOWNLOAD F,"LOGO",5,\x00PCX\xff\r\n\r\n'


@pytest.mark.parametrize(
    "file, name, words",
    [
        ('logo",9,.pcx', None, 'a double quote (")'),
        ("a\nPRINT 1,2\nb", None, "a line break (LF)"),
        ("plain.pcx", 'x"y', 'a double quote (")'),
        ("plain.pcx", "x\r\nPRINT 1,3", "a line break (CR)"),
        ("plain.pcx", b"x\ny", "a line break (LF)"),
    ],
)
def test_upload_refuses_a_name_that_would_end_its_header(fake, tmp_path, file, name, words):
    f = tmp_path / file
    f.write_bytes(b"PRINT 1,2\r\n")
    printer = fake()
    with zarn.Printer(printer.address) as p:
        with pytest.raises(zarn.UploadNameError) as caught:
            p.upload(f, name)
    assert isinstance(caught.value, zarn.ArgumentError)
    assert f"a name in the printer cannot hold {words}" in str(caught.value)
    assert "\n" not in str(caught.value)
    assert printer.received() == b""


def bitmap_block(wire: bytes) -> tuple[int, int, int, int, bytes, bytes]:
    """x, y, bytes per row, height, the rows, and what follows them."""
    m = re.match(rb"BITMAP (\d+),(\d+),(\d+),(\d+),0,", wire)
    assert m, wire[:60]
    x, y, wb, h = map(int, m.groups())
    rows = wire[m.end() : m.end() + wb * h]
    assert len(rows) == wb * h
    return x, y, wb, h, rows, wire[m.end() + wb * h :]


def test_text_bitmap_sends_a_bitmap_block(fake):
    x, y, wb, h, rows, rest = bitmap_block(sent(fake, lambda p: p.text_bitmap(10, 20, "Hi", font=font(), size=24)))
    assert (x, y, rest) == (10, 20, b"")
    assert h > 10 and any(b != 0xFF for b in rows)  # some ink


def picture() -> Image.Image:
    img = Image.new("L", (64, 40), 255)
    img.paste(0, (8, 8, 40, 30))
    return img


def test_image_sends_the_rendered_dots_at_its_place(fake):
    png = io.BytesIO()
    picture().save(png, "PNG")
    x, y, wb, h, rows, rest = bitmap_block(sent(fake, lambda p: p.image(png.getvalue(), x=400, y=40)))
    with zarn.render(picture()) as expected:
        # Every row, the paper above and below the box too: BITMAP
        # overwrites, so the picture's white blanks what is under it.
        assert (x, y, wb, h, rest) == (400, 40, expected.bytes_per_row, 40, b"")
        assert rows == expected.data


def test_print_file_sends_size_cls_bitmap_and_print(fake, tmp_path):
    path = tmp_path / "p.png"
    picture().save(path)
    wire = sent(fake, lambda p: p.print_file(path, width_mm=8, height_mm=5, copies=2, dither="threshold"))
    head, _, block = wire.partition(b"CLS\r\n")
    assert head == b"SIZE 8 mm,5 mm\r\n"
    x, y, wb, h, rows, rest = bitmap_block(block)
    assert (x, wb, rest) == (0, 8, b"PRINT 1,2\r\n")
    # 64 x 40 fits 8 x 5 mm (64 x 40 dots) as it is: the black box, rows of
    # paper above and below it left out.
    assert (y, h) == (8, 22)
    assert rows[0] == 0xFF and rows[1] == 0x00 and rows[4] == 0x00 and rows[5] == 0xFF


def test_query_returns_the_reply_before_the_end_marker(fake):
    def answer(data, conn):
        if data.endswith(b'OUT "ENDLINE"\r\n'):
            conn.sendall("caf\u00e9\r\nENDLINE\r\n".encode())

    printer = fake(answer)
    with zarn.Printer(printer.address) as p:
        assert p.query('OUT "x"') == "caf\u00e9\r\n"
    assert printer.received() == b'OUT "x"\r\nOUT "ENDLINE"\r\n'


@pytest.mark.parametrize(
    "action, error, words",
    [
        (lambda p: p.text("40", 40, "x"), zarn.ArgumentTypeError, "x is a whole number of dots, not str"),
        (lambda p: p.text(40, 40, 5), zarn.ArgumentTypeError, "content is a str or bytes, not int"),
        (lambda p: p.text(-1, 0, "x"), zarn.ArgumentError, "x must be 0 or more, not -1"),
        (lambda p: p.text(0, 0, "a\nb"), zarn.ArgumentError, "content cannot contain a line break"),
        (lambda p: p.text(0, 0, "x", rotation=45), zarn.ArgumentError, "rotation must be 0, 90, 180 or 270"),
        (lambda p: p.text(0, 0, "x" * 480), zarn.ArgumentError, "the library sends at most 499"),
        (lambda p: p.barcode(0, 0, "1" * 1020), zarn.ArgumentError, "at most 1023"),
        (lambda p: p.send("a\0b"), zarn.ArgumentError, "line cannot contain a NUL byte"),
        (lambda p: p.send_bytes("text"), zarn.ArgumentTypeError, "data is bytes"),
        (lambda p: p.setup(0, 60), zarn.ArgumentError, "width_mm must be a number more than 0"),
        (lambda p: p.setup("100", 60), zarn.ArgumentTypeError, "width_mm is a number, not str"),
        (lambda p: p.setup(100, float("nan")), zarn.ArgumentError, "height_mm must be a number"),
        (lambda p: p.setup(100, 60, density=16), zarn.ArgumentError, "density must be 0 to 15"),
        (lambda p: p.print(copies=0), zarn.ArgumentError, "copies must be 1 or more, not 0"),
        (lambda p: p.print(copies=True), zarn.ArgumentTypeError, "copies is a whole number"),
        (lambda p: p.upload("/nonexistent/logo.pcx"), zarn.FileError, "cannot read /nonexistent/logo.pcx: No such file or directory"),
        (lambda p: p.upload("/tmp"), zarn.FileError, "it is a folder"),
        (lambda p: p.image("/nonexistent/logo.png"), zarn.FileError, "/nonexistent/logo.png"),
        (lambda p: p.image(42), zarn.ArgumentTypeError, "a picture is a path, the file's bytes or a Pillow image, not int"),
        (lambda p: p.image(b"not a picture"), zarn.PictureError, "not a picture or PDF"),
        (lambda p: p.image(picture(), dither="halftone"), zarn.ArgumentError, "dither must be one of floyd-steinberg"),
        (lambda p: p.image(picture(), threshold="150%"), zarn.AddressError, "bad threshold '150%'"),
        (lambda p: p.image(picture(), dither="threshold", threshold=50), zarn.AddressError, "bad threshold '50'"),
        (lambda p: p.image(picture(), width_mm=10), zarn.ArgumentError, "both"),
        (lambda p: p.print_file(picture(), pages="2-1"), zarn.AddressError, "bad page list '2-1': the range 2-1 runs backwards"),
        (lambda p: p.print_file(picture(), pages="2"), zarn.AddressError, "there is no page 2 (it has 1 page)"),
        (lambda p: p.text_bitmap(0, 0, "Hi", font="/nonexistent.ttf", size=12), zarn.FileError, "cannot read the font /nonexistent.ttf"),
        (lambda p: p.text_bitmap(0, 0, "Hi", font=__file__, size=12), zarn.FileError, "not a TrueType font?"),
        (lambda p: p.text_bitmap(0, 0, "", font=font(), size=12), zarn.FileError, "an empty text renders to nothing"),
        (lambda p: p.upload(__file__, ""), zarn.UploadNameError, "an empty name"),
    ],
)
def test_bad_input_raises_and_sends_nothing(fake, action, error, words):
    printer = fake()
    with zarn.Printer(printer.address) as p:
        with pytest.raises(error) as caught:
            action(p)
    assert isinstance(caught.value, zarn.Error)
    assert words in str(caught.value)
    assert printer.received() == b""


def test_closed_printer_and_second_printer_are_refused(fake):
    first, second = fake(), fake()
    with zarn.Printer(first.address) as p:
        with pytest.raises(zarn.BusyError, match="already has a printer open"):
            zarn.Printer(second.address)
        p.send("CLS")
    # Every kind of send on a closed Printer is the same error, pictures too.
    for send in (lambda: p.send("CLS"), lambda: p.print_file(picture()), lambda: p.image(picture()), p.status):
        with pytest.raises(zarn.ClosedError, match=r"connection to tcp://127\.0\.0\.1:\d+ is closed"):
            send()
    # Closing gave the process's connection back.
    with zarn.Printer(second.address) as q:
        q.clear()
    assert first.received() == b"CLS\r\n" and second.received() == b"CLS\r\n"


def test_environment_address_and_library_path(fake, monkeypatch):
    printer = fake()
    monkeypatch.setenv("ZARN_PRINTER", printer.address.replace("127.0.0.1", "localhost"))
    with zarn.Printer() as p:
        assert p.describe() == f"{printer.address.replace('127.0.0.1', 'localhost')} ({printer.address[6:]})"
        p.feed()
    assert printer.received() == b"FORMFEED\r\n"
    assert zarn.about() == "Linux Shared Library Version V1.00"
    assert os.path.samefile(zarn._lib.library().path, os.environ["ZARN_LIBRARY"])
    assert os.path.samefile(zarn._lib.client().path, os.environ["ZARN_CLIENT_LIBRARY"])
    # The host layer runs on the libzarn named, not a second copy of it
    # with a connection of its own.
    maps = open("/proc/self/maps").read().splitlines()
    assert len({line.split()[-1] for line in maps if "/libzarn.so" in line}) == 1


def test_a_connection_closed_from_outside_is_closed_for_every_send(fake):
    printer = fake()
    with zarn.Printer(printer.address) as p:
        p.send("CLS")
        ctypes.CDLL(os.environ["ZARN_LIBRARY"]).closeport()
        for send in (lambda: p.send("CLS"), lambda: p.send_bytes(b"x"), lambda: p.print_file(picture()), lambda: p.image(picture())):
            with pytest.raises(zarn.ClosedError, match="was closed from outside"):
                send()
    assert printer.received() == b"CLS\r\n"


def test_progress_counts_up_to_the_whole_and_its_exception_comes_after_the_send(fake, tmp_path):
    data = bytes(range(256)) * 40
    f = tmp_path / "big.bin"
    f.write_bytes(data)
    uploaded: list[tuple[int, int]] = []
    seen: list[tuple[int, int]] = []

    def stops(done: int, total: int) -> None:
        seen.append((done, total))
        raise KeyError("stop")

    printer = fake()
    with zarn.Printer(printer.address) as p:
        p.upload(f, "BIG", progress=lambda *a: uploaded.append(a))
        # The send cannot be stopped half way: every byte goes, then the
        # callback's exception is raised, and it is not called again.
        with pytest.raises(KeyError):
            p.send_bytes(data, progress=stops)
        p.send("END")
    dones = [d for d, _ in uploaded]
    assert len(dones) > 1 and dones == sorted(dones) and uploaded[-1] == (len(data), len(data))
    assert len(seen) == 1 and 0 < seen[0][0] < len(data) == seen[0][1]
    assert printer.received() == b'DOWNLOAD F,"BIG",10240,' + data + b"\r\n\r\n" + data + b"END\r\n"


def test_print_file_sends_what_zarn_print_sends_with_pages_rendered_again(fake, tmp_path, monkeypatch):
    pdf = labels_pdf(tmp_path / "labels.pdf", 12)
    # Keeps three labels' bitmaps, so the other eight are rendered a second time to be sent.
    monkeypatch.setattr(zarn.printer, "_KEPT_BYTES", 3 * 124_338)
    by_python, by_command = fake(), fake()
    with zarn.Printer(by_python.address) as p:
        p.print_file(pdf, pages="2-", copies=2)
    done = run([tool("ZARN_CLI"), "-p", by_command.address, "print", "--pages", "2-", "--copies", "2", str(pdf)])
    assert done.returncode == 0, done.stderr
    wire = by_python.received()
    assert wire.count(b"BITMAP ") == 11
    assert wire == by_command.received()
