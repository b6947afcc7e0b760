# SPDX-License-Identifier: MIT
"""The behaviour corpus (tests/cases/*.json) against the Python package:
the files tests/client/test_client_cases.cpp reads too, so Python reads
every address, threshold, page list and label size, words every status and
puts every frame on the wire exactly as libzarn-client does for the C++
front ends."""

from __future__ import annotations

import json
import re
from pathlib import Path

import pytest
from PIL import Image

import zarn

CASES = Path(__file__).resolve().parents[1] / "cases"


def corpus(name: str) -> dict:
    return json.loads((CASES / f"{name}.json").read_text())


def cases(name: str, key: str = "cases") -> list[dict]:
    return corpus(name)[key]


def case_id(c: dict) -> str:
    return repr(c.get("text", c.get("about", c.get("name"))))


@pytest.mark.parametrize("c", cases("addresses"), ids=case_id)
def test_addresses(c):
    if "error" in c:
        with pytest.raises(zarn.AddressError) as caught:
            zarn.Address.parse(c["text"])
        assert str(caught.value) == c["error"]
        # Opening reads the address the same way, before any connection.
        with pytest.raises(zarn.AddressError, match=re.escape(c["error"])):
            zarn.Printer(c["text"])
        return
    a = zarn.Address.parse(c["text"])
    assert a.kind is zarn.Kind(c["kind"])
    if c["kind"] == "serial":
        assert (a.device, a.settings) == (c["device"], zarn.SerialSettings(c["baud"], c["parity"], c["data"], c["stop"]))
    if c["kind"] == "tcp":
        assert (a.host, a.port) == (c["host"], c["port"])
    assert a.text == c["format"] == str(a)
    # What is formatted reads back as the same address.
    assert zarn.Address.parse(a.text) == a


def grey_ramp() -> Image.Image:
    """One row of every grey from black to white."""
    return Image.frombytes("L", (256, 1), bytes(range(256)))


@pytest.mark.parametrize("c", cases("thresholds"), ids=case_id)
def test_thresholds(c):
    if "error" in c:
        with pytest.raises(zarn.AddressError, match="bad threshold"):
            zarn.parse_threshold(c["text"])
        with pytest.raises(zarn.AddressError, match="bad threshold"):
            zarn.render(grey_ramp(), dither="threshold", threshold=c["text"])
        return
    assert zarn.parse_threshold(c["text"]) == pytest.approx(c["fraction"], rel=1e-12)
    # The text and the number cut the grey ramp at the same place.
    with zarn.render(grey_ramp(), dither="threshold", threshold=c["text"]) as by_text:
        with zarn.render(grey_ramp(), dither="threshold", threshold=c["fraction"]) as by_number:
            assert by_text.data == by_number.data
            assert 0 < sum(by_text.ink(x, 0) for x in range(256)) < 256


def test_a_number_is_a_fraction_never_a_percentage():
    assert zarn.parse_threshold(0.25) == zarn.parse_threshold("25%") == 0.25
    for wrong in (50, 0, 1, 1.5, -0.2):
        with pytest.raises(zarn.AddressError, match="bad threshold"):
            zarn.parse_threshold(wrong)
    with pytest.raises(zarn.ArgumentTypeError):
        zarn.parse_threshold(True)


@pytest.mark.parametrize("c", cases("pages"), ids=lambda c: f"{c['text']!r} of {c['count']}")
def test_page_lists(c):
    if "error" in c:
        with pytest.raises(zarn.AddressError):
            zarn.parse_pages(c["text"], c["count"])
        return
    assert zarn.parse_pages(c["text"], c["count"]) == c["pages"]


def numbered_pdf(path: Path, count: int) -> Path:
    """A PDF whose page n is 8 * n dots wide, so its SIZE line names it."""
    pages = [Image.new("L", (8 * n, 8), 0) for n in range(1, count + 1)]
    pages[0].save(path, save_all=True, append_images=pages[1:], resolution=203.2)
    return path


@pytest.mark.parametrize("c", [c for c in cases("pages") if "error" not in c], ids=lambda c: f"{c['text']!r} of {c['count']}")
def test_print_file_prints_the_pages_a_list_names(fake, tmp_path, c):
    pdf = numbered_pdf(tmp_path / "pages.pdf", c["count"])
    printer = fake()
    with zarn.Printer(printer.address) as p:
        p.print_file(pdf, pages=c["text"])
    printed = [int(w) for w in re.findall(rb"SIZE (\d+) mm,1 mm\r\n", printer.received())]
    assert printed == c["pages"]


def test_page_numbers_and_lists_of_them_mean_the_same_as_the_text(fake, tmp_path):
    pdf = numbered_pdf(tmp_path / "pages.pdf", 3)
    printer = fake()
    with zarn.Printer(printer.address) as p:
        p.print_file(pdf, pages=[3, 1, 3])
        p.print_file(pdf, pages=2)
        with pytest.raises(zarn.AddressError, match="there is no page 4"):
            p.print_file(pdf, pages=[1, 4])  # nothing of it printed
    assert re.findall(rb"SIZE (\d+) mm", printer.received()) == [b"1", b"3", b"2"]


@pytest.mark.parametrize("c", cases("label_sizes"), ids=case_id)
def test_label_sizes(c):
    if "error" in c:
        with pytest.raises(zarn.AddressError, match="bad label size"):
            zarn.parse_label_size(c["text"])
        return
    assert zarn.parse_label_size(c["text"]) == pytest.approx((c["width_mm"], c["height_mm"]), rel=1e-12)


REPLIES = {
    "answered": zarn.Reply.ANSWERED,
    "no reply": zarn.Reply.NO_REPLY,
    "receive failed": zarn.Reply.RECEIVE_FAILED,
    "disconnected": zarn.Reply.DISCONNECTED,
}


@pytest.mark.parametrize("c", cases("status"), ids=lambda c: f"{c['reply']} {c['byte']}")
def test_status_words_and_outcomes(c):
    reply = REPLIES[c["reply"]]
    status = zarn.Status.from_byte(c["byte"]) if reply is zarn.Reply.ANSWERED else zarn.Status.unanswered(reply)
    assert status.text == c["words"]
    assert zarn.outcome_of(status).text == c["outcome"]
    if status.bits:
        # The conditions come most pressing first, as the words name them.
        assert ", ".join(cond.words for cond in status.conditions) == c["words"]
        assert status.ready is False and status.needs_attention == bool(status.bits & ~0x20)
    else:
        assert status.conditions == [] and status.ready == status.answered


def answering(request: bytes, reply: bytes):
    """A fake printer's answer: reply once request has come in."""

    def answer(data, conn):
        if data.endswith(request):
            conn.sendall(reply)

    return answer


def test_requests_on_the_wire(fake):
    r = corpus("wire")["requests"]
    asks = [
        ("status", b"\x04", lambda p: p.status(), zarn.Status.from_byte(4)),
        ("name", b"ZX420\r\n", lambda p: p.name(), "ZX420"),
        ("serial", b"SN42\r\n", lambda p: p.serial(), "SN42"),
        ("query VERSION$", b"V1.2\r\nENDLINE\r\n", lambda p: p.query("VERSION$"), "V1.2\r\n"),
    ]
    for key, reply, ask, expected in asks:
        request = bytes.fromhex(r[key])
        printer = fake(answering(request, reply))
        with zarn.Printer(printer.address, reply_timeout=5) as p:
            assert ask(p) == expected, key
        assert printer.received().hex() == r[key], key


def corpus_picture(c: dict) -> Image.Image:
    # The corpus gives the printer's rows, a set bit paper; in Pillow's
    # mode "1" a set bit is white, the same.
    return Image.frombytes("1", (c["width"], c["height"]), bytes.fromhex(c["rows"]))


@pytest.mark.parametrize("c", cases("wire", "prints"), ids=case_id)
def test_print_frames(fake, c):
    done: list[int] = []
    printer = fake()
    with zarn.Printer(printer.address) as p:
        p.print_file(
            corpus_picture(c),
            copies=c["copies"],
            dpi=c["dpi"],
            dither="threshold",
            progress=lambda d, total: done.append(d),
        )
    wire = printer.received()
    assert wire.hex() == c["bytes"]
    # Progress ends at the label's last byte.
    assert done[-1:] == [len(wire)]


@pytest.mark.parametrize("c", cases("wire", "draws"), ids=case_id)
def test_draw_frames(fake, c):
    done: list[tuple[int, int]] = []
    printer = fake()
    with zarn.Printer(printer.address) as p:
        p.image(corpus_picture(c), x=c["x"], y=c["y"], dpi=c["dpi"], dither="threshold", progress=lambda *a: done.append(a))
    assert printer.received().hex() == c["bytes"]
    assert done[-1] == (len(c["bytes"]) // 2,) * 2


@pytest.mark.parametrize("c", cases("wire", "uploads"), ids=case_id)
def test_upload_frames(fake, tmp_path, c):
    path = tmp_path / "upload.bin"
    path.write_bytes(bytes.fromhex(c["content"]))
    printer = fake()
    with zarn.Printer(printer.address) as p:
        p.upload(path, c["name"])
    assert printer.received().hex() == c["bytes"]


@pytest.mark.parametrize("c", cases("wire", "upload_names"), ids=lambda c: f"{c['name'][:12]!r} {c['size']}")
def test_upload_names(fake, tmp_path, c):
    if "error" not in c:
        zarn.check_upload_name(c["name"], c["size"])
        return
    with pytest.raises(zarn.UploadNameError) as caught:
        zarn.check_upload_name(c["name"], c["size"])
    assert c["error"] in str(caught.value)
    # An upload of a file that size under that name is refused for the
    # same reason, with progress or without, and sends nothing.
    path = tmp_path / "file.bin"
    path.write_bytes(b"x" * c["size"])
    printer = fake()
    with zarn.Printer(printer.address) as p:
        for progress in (None, lambda done, total: None):
            with pytest.raises(zarn.UploadNameError) as caught:
                p.upload(path, c["name"], progress=progress)
            assert c["error"] in str(caught.value) and "\n" not in str(caught.value)
    assert printer.received() == b""
