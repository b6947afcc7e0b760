#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs a built tree into a temporary prefix, then builds and runs a small
# host against it twice: through pkg-config and through find_package(zarn).
#   tests/install/check.sh BUILD_DIR C_COMPILER
# (a C host of libzarn and one of libzarn-client; a C++ host of zarn.hpp)
set -euo pipefail
build=$1
cc=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" > "$work/install.log"
pc=$(find "$prefix" -name zarn.pc)
[[ -n $pc ]] || { echo "no zarn.pc installed" >&2; exit 1; }
libdir=$(dirname "$(find "$prefix" -name 'libzarn.so.1' | head -1)")

# The printer application's systemd unit follows the prefix of the install.
if [[ -x $prefix/bin/zarn-printer-app ]]; then
  echo "== systemd unit"
  unit=$prefix/lib/systemd/system/zarn-printer-app.service
  [[ -f $unit ]] || { echo "no systemd unit at $unit:" >&2; cat "$work/install.log" >&2; exit 1; }
fi

echo "== pkg-config"
export PKG_CONFIG_PATH=$(dirname "$pc")
# shellcheck disable=SC2046
"$cc" "$here/host.c" $(pkg-config --cflags --libs zarn) -o "$work/host-pc"
LD_LIBRARY_PATH=$libdir "$work/host-pc"
# shellcheck disable=SC2046
"$cc" "$here/host_client.c" $(pkg-config --cflags --libs zarn-client) -o "$work/host-client-pc"
LD_LIBRARY_PATH=$libdir "$work/host-client-pc"

echo "== find_package"
cmake -S "$here" -B "$work/cmake-host" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" > "$work/configure.log" || { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$work/cmake-host" > "$work/build.log" || { cat "$work/build.log" >&2; exit 1; }
LD_LIBRARY_PATH=$libdir "$work/cmake-host/host"
LD_LIBRARY_PATH=$libdir "$work/cmake-host/host_cpp"
