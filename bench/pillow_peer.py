# SPDX-License-Identifier: MIT
"""Pillow's way to a 1-bit label, timed inside Python for each request.

Run by bench_raster: every line on standard input asks for one run of
Image.open -> resize -> convert('1') -> tobytes on the file, and the run's
time in nanoseconds goes back as one line. Interpreter start-up is never
counted, as libzarn-raster's own figure counts no process start either.
"""
import sys
import time

from PIL import Image


def main():
    path, width, height = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    for _ in sys.stdin:
        start = time.perf_counter_ns()
        Image.open(path).resize((width, height)).convert("1").tobytes()
        sys.stdout.write(f"{time.perf_counter_ns() - start}\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
