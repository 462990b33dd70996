#!/usr/bin/env bash
# Installs what the tool, its tests and its tools need on a Debian machine.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
packages=(
  build-essential cmake pkg-config
  qtbase5-dev libqt5serialport5-dev      # the window and the serial line
  binutils srecord openssl               # reference S-record images and AES in tests
  clang libclang-rt-14-dev               # libFuzzer targets
  xvfb xauth x11-utils                   # a real X server for benchmarks and headless runs; xwininfo for window sizes
  fonts-wine fonts-liberation2           # the form's faces: a Tahoma-like one, and Arial's metrics
  desktop-file-utils appstream           # validating the desktop entry and the metainfo
  dpkg-dev file librsvg2-bin             # the Debian package: library dependencies, CPack's look at the programs, the icon's sizes
  lintian                                # checking the Debian package
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
