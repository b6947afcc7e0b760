#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs a USB test under umockdev in a sanitizer build. The sanitizer runtime
# must be the first library the loader maps, so it goes ahead of umockdev's
# preload library (umockdev-wrapper alone would put its own first).
#   umockdev-asan-wrapper.sh /path/to/libasan.so program args...
asan="$1"
shift
exec env LD_PRELOAD="$asan:libumockdev-preload.so.0${LD_PRELOAD:+:$LD_PRELOAD}" "$@"
