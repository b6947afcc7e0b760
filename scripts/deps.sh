#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes sure the Debian packages a make target needs are installed.
# As root it installs what is missing; otherwise it prints the exact
# apt-get line and fails.
#   scripts/deps.sh build|test|demo|sanitize|bench|fuzz|valgrind|format ...
set -euo pipefail

build=(cmake make g++ pkg-config libusb-1.0-0-dev libsdl2-dev libsdl2-ttf-dev
       libumockdev-dev umockdev libglib2.0-dev libpng-dev libfreetype-dev libzint-dev fonts-dejavu-core
       fontconfig libcli11-dev nlohmann-json3-dev libpappl-dev
       libpoppler-glib-dev libpoppler-private-dev libcairo2-dev libsdl2-image-dev libjpeg-dev libtiff-dev libwebp-dev
       libgif-dev)
test=(googletest libgtest-dev locales libzbar-dev zbar-tools cups-ipp-utils
      cups-daemon cups-client cups-core-drivers
      python3 python3-pytest python3-pil python3-pip python3-venv valgrind)
sanitize=(clang libclang-rt-14-dev)
bench=(libbenchmark-dev locales python3-pil poppler-utils)
valgrind=(valgrind)
format=(clang-format)

wanted=("${build[@]}")
for what in "$@"; do
  case "$what" in
    build|demo) ;;
    test) wanted+=("${test[@]}") ;;
    sanitize) wanted+=("${test[@]}" "${sanitize[@]}") ;;
    fuzz) wanted+=("${sanitize[@]}") ;;
    bench) wanted+=("${bench[@]}") ;;
    valgrind) wanted+=("${test[@]}" "${valgrind[@]}") ;;
    format) wanted=(git "${format[@]}") ;;
    *) echo "deps.sh: unknown target '$what'" >&2; exit 2 ;;
  esac
done

missing=()
for pkg in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -eq 0 ]]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "Missing Debian packages. Install them with:" >&2
  echo "  sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
