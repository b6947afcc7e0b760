#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Jobs per second through zarn-printer-app with 1, 2, 4 and 8 printers,
each on its own emulator over loopback TCP: one client per printer sends
JOBS small PNG labels with the app's own command line, one after another,
all clients at once;
the figure is the labels printed per second until the last one is out.
Figures only: nothing here passes or fails.

  bench/bench_printer_app.py BUILD_DIR [JOBS]
"""

import os
import re
import subprocess
import sys
import tempfile
import threading
import time
import zlib
import struct

PRINTERS = (1, 2, 4, 8)


def png(path, width=406, height=203):
    """A 2 x 1 in label of vertical bars, written without any imaging library."""
    row = bytes([0]) + bytes((0 if (x // 6) % 2 else 255) for x in range(width))
    raw = row * height

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw)))
        f.write(chunk(b"IEND", b""))


def wait_for(pattern, read, limit=10.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        m = re.search(pattern, read())
        if m:
            return m
        time.sleep(0.02)
    raise RuntimeError("timed out waiting for " + pattern)


def run(build, printers, jobs, work):
    app_bin = os.path.join(build, "printer-app", "zarn-printer-app")
    emu_bin = os.path.join(build, "emulator", "zarn-emulator")
    home = os.path.join(work, "home")
    os.makedirs(os.path.join(work, "spool"))
    os.makedirs(home)
    # A program name of its own: PAPPL names its local socket after it.
    program = os.path.join(work, "zarn-printer-app-bench-%d" % os.getpid())
    os.symlink(os.path.abspath(app_bin), program)
    env = dict(os.environ, HOME=home)
    log = os.path.join(work, "app.log")
    children = []
    try:
        app = subprocess.Popen(
            [program, "server", "-o", "server-port=0", "-o",
             "spool-directory=" + os.path.join(work, "spool"), "-o", "log-file=" + log,
             "-o", "log-level=info"],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        children.append(app)
        def app_log():
            try:
                with open(log) as f:
                    return f.read()
            except OSError:
                return ""

        port = wait_for(r"Listening for connections on '[^']*:(\d+)'", app_log).group(1)
        system = "ipp://127.0.0.1:%s/ipp/system" % port
        outs = []
        for i in range(printers):
            out = os.path.join(work, "labels-%d" % i)
            os.makedirs(out)
            emu = subprocess.Popen([emu_bin, "--tcp", "0", "--out", out], stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, text=True)
            children.append(emu)
            line = emu.stdout.readline()
            m = re.search(r"listening on [^:]*:(\d+)", line)
            if not m:
                raise RuntimeError("emulator did not start: " + line)
            outs.append(out)
            subprocess.run([program, "add", "-u", system, "-d", "P%d" % i, "-m", "label203", "-v",
                            "zarn-tcp://127.0.0.1:" + m.group(1)], env=env, check=True,
                           stdout=subprocess.DEVNULL)
        label = os.path.join(work, "label.png")
        png(label)

        def client(i):
            for _ in range(jobs):
                subprocess.run([program, "submit", "-u",
                                "ipp://127.0.0.1:%s/ipp/print/P%d" % (port, i), "-o",
                                "media=oe_2x1-label_2x1in", label], env=env, check=True,
                               stdout=subprocess.DEVNULL)

        start = time.monotonic()
        threads = [threading.Thread(target=client, args=(i,)) for i in range(printers)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        total = printers * jobs
        end = time.monotonic() + 300
        while time.monotonic() < end:
            done = sum(len([f for f in os.listdir(o) if f.endswith(".png")]) for o in outs)
            if done >= total:
                break
            time.sleep(0.02)
        elapsed = time.monotonic() - start
        return done, elapsed
    finally:
        for c in children:
            c.terminate()
        for c in children:
            try:
                c.wait(10)
            except subprocess.TimeoutExpired:
                c.kill()


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build-bench"
    jobs = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    print("%-10s %8s %10s %12s %14s" % ("printers", "labels", "seconds", "labels/s", "per printer"))
    for n in PRINTERS:
        with tempfile.TemporaryDirectory(prefix="zarn-app-bench-") as work:
            done, elapsed = run(build, n, jobs, work)
        rate = done / elapsed if elapsed > 0 else 0
        print("%-10d %8d %10.2f %12.1f %14.1f" % (n, done, elapsed, rate, rate / n), flush=True)


if __name__ == "__main__":
    main()
