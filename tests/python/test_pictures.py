# SPDX-License-Identifier: MIT
"""Pictures through libzarn-raster: Pillow images in every common mode give
the same dots as the same picture read from a file, the options of zarn
print take effect, and a printed label equals its bitmap dot for dot."""

from __future__ import annotations

import pytest
from PIL import Image

import zarn


def box(mode: str = "L") -> Image.Image:
    """White 48 x 32 with a black 16 x 8 box at (8, 4) and a grey bar below."""
    img = Image.new("L", (48, 32), 255)
    img.paste(0, (8, 4, 24, 12))
    img.paste(128, (0, 20, 48, 28))
    return img.convert(mode)


def dots(bitmap: zarn.Bitmap) -> list[list[bool]]:
    return [[bitmap.ink(x, y) for x in range(bitmap.width)] for y in range(bitmap.height)]


@pytest.mark.parametrize("mode", ["1", "L", "RGB", "RGBA", "P", "LA", "I;16", "CMYK"])
def test_pillow_images_print_as_the_same_picture_from_a_file(tmp_path, mode):
    image = box(mode) if mode != "1" else box("L").point(lambda v: 0 if v < 255 else 255).convert("1")
    reference = image.convert("L")
    reference.save(tmp_path / "box.png")
    for dither in ("threshold", "floyd-steinberg"):
        with zarn.render(image, dither=dither) as got, zarn.render(tmp_path / "box.png", dither=dither) as want:
            assert (got.width, got.height) == (48, 32)
            assert got.data == want.data, f"{mode} {dither}"


def test_transparent_pixels_are_paper():
    image = Image.new("RGBA", (16, 8), (0, 0, 0, 0))
    image.paste((0, 0, 0, 255), (0, 0, 4, 8))
    with zarn.render(image) as b:
        row = dots(b)[3]
    assert row == [True] * 4 + [False] * 12


def test_options_of_zarn_print():
    grey = Image.new("L", (40, 20), 100)
    with zarn.render(grey, dither="threshold", threshold="50%") as b:
        assert all(all(r) for r in dots(b))  # 100 < 127.5: all ink
    with zarn.render(grey, dither="threshold", threshold=0.3) as b:
        assert not any(any(r) for r in dots(b))  # 100 > 76.5: none
    with zarn.render(box(), width_mm=10, height_mm=10, dpi=300) as b:
        assert (b.width, b.height, b.dpi) == (120, 120, 300)
    with zarn.render(box(), rotate=90) as b:
        assert (b.width, b.height) == (32, 48)
        # Turned clockwise: the box's top left (8, 4) is now at (32 - 1 - 4 - 7, 8).
        assert b.ink(31 - 4, 8) and b.ink(31 - 11, 23) and not b.ink(31 - 12, 8)
    with zarn.render(box(), width_mm=12, height_mm=4, rotate="auto") as b:
        assert (b.width, b.height) == (96, 32)  # landscape picture, landscape label: not turned
    with zarn.render(box(), width_mm=2, height_mm=2, fit="none") as b:
        # One pixel a dot, centred and cut to the label: the box's bottom
        # right corner (23, 11) lands at (7, 3).
        assert (b.width, b.height) == (16, 16)
        assert b.ink(7, 3) and b.ink(0, 0) and not b.ink(8, 3) and not b.ink(7, 4)


def test_pdf_pages_and_previews(tmp_path, emulator):
    first, second = box("RGB"), Image.new("RGB", (48, 32), "black")
    first.save(tmp_path / "two.pdf", save_all=True, append_images=[second], resolution=203.2)
    assert zarn.pages(tmp_path / "two.pdf") == 2
    with pytest.raises(zarn.AddressError, match="there is no page 3 \\(it has 2 pages\\)"):
        zarn.render(tmp_path / "two.pdf", page=3)
    with zarn.render(tmp_path / "two.pdf", page=2, dither="threshold") as b:
        b.save_png(tmp_path / "preview.png")
        assert all(all(r) for r in dots(b)) and (b.width, b.height) == (48, 32)
    preview = Image.open(tmp_path / "preview.png")
    assert preview.size == (48, 32) and preview.convert("L").getextrema() == (0, 0)
    with zarn.Printer(emulator.address) as p:
        p.print_file(tmp_path / "two.pdf", pages=[2], wait=True)
        with pytest.raises(zarn.ArgumentError, match="there is no page 5"):
            p.print_file(tmp_path / "two.pdf", pages="1,5")  # nothing of it printed
    assert len(emulator.wait_labels(1)) == 1


def test_a_printed_pillow_image_equals_its_bitmap(emulator):
    image = Image.effect_mandelbrot((160, 96), (-2, -1.2, 1, 1.2), 64)
    options = dict(width_mm=20, height_mm=12, dither="atkinson")
    with zarn.Printer(emulator.address) as p:
        p.print_file(image, copies=2, wait=True, **options)
    first, second = emulator.wait_labels(2)
    with zarn.render(image, **options) as b:
        want = dots(b)
    for png in (first, second):
        label = Image.open(png).convert("L")
        assert label.size == (160, 96)
        got = [[label.getpixel((x, y)) < 128 for x in range(160)] for y in range(96)]
        assert got == want
    assert any(any(r) for r in want) and not all(all(r) for r in want)


def test_bad_pictures(tmp_path):
    (tmp_path / "notes.txt").write_text("not a picture")
    (tmp_path / "cut.png").write_bytes((b"\x89PNG\r\n\x1a\n" + b"\0" * 30))
    with pytest.raises(zarn.PictureError, match="notes.txt: not a picture or PDF"):
        zarn.render(tmp_path / "notes.txt")
    with pytest.raises(zarn.PictureError, match="cut.png"):
        zarn.render(tmp_path / "cut.png")
    with pytest.raises(zarn.FileError, match="missing.png"):
        zarn.render(tmp_path / "missing.png")
    with pytest.raises(zarn.AddressError, match="there is no page 2 \\(it has 1 page\\)"):
        zarn.render(box(), page=2)
    with pytest.raises(zarn.ArgumentError):
        zarn.render(box(), width_mm=0, height_mm=5)


def test_a_page_over_its_budget_raises_budget_error_and_prints_nothing(emulator):
    # 4724 x 4724 dots at 600 dpi: its grey canvas alone is over 1 MiB.
    big = dict(width_mm=200, height_mm=200, dpi=600, max_bytes=1 << 20)
    with pytest.raises(zarn.BudgetError, match="page 1 needs more than 1 MiB"):
        zarn.render(box(), **big)
    with zarn.Printer(emulator.address) as p:
        with pytest.raises(zarn.BudgetError, match="needs more than 1 MiB"):
            p.print_file(box(), **big)
        # Inside its budget the same page renders.
        with zarn.render(box(), width_mm=20, height_mm=12, max_seconds=5, max_bytes=64 << 20) as b:
            assert b.width == 160
    for bad in (dict(max_seconds=0), dict(max_seconds=float("nan")), dict(max_bytes=0), dict(max_bytes=-1)):
        with pytest.raises(zarn.ArgumentError):
            zarn.render(box(), **bad)
    with pytest.raises(zarn.ArgumentTypeError):
        zarn.render(box(), max_bytes=1.5)
    assert emulator.labels() == []
