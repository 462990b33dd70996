#!/usr/bin/env bash
# Renews the README's screenshots: the real window under Xvfb with the form's
# font, talking to the simulated box, at 96 dpi (docs/satellite-setting.png,
# docs/update.png) and at 192 dpi for screens at twice the density
# (docs/satellite-setting@2x.png, docs/update@2x.png). Each run reads the
# box's list once (about 40 s) and loads one package it builds. Builds into
# build-docs/ of its own.
#
# Usage: scripts/screenshots.sh [DPI...]   (96 and 192 when none is given)
set -euo pipefail
cd "$(dirname "$0")/.."
dpis=("$@")
[ ${#dpis[@]} -gt 0 ] || dpis=(96 192)
bash scripts/packages.sh
cmake -S . -B build-docs -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVR20_BUILD_TESTS=ON -DVR20_BUILD_DOCS=ON
cmake --build build-docs -j2 --target vr20-screenshots
mkdir -p docs
# Nothing from the caller's desktop may scale the window or choose its style.
unset QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS QT_SCALE_FACTOR_ROUNDING_POLICY QT_AUTO_SCREEN_SCALE_FACTOR \
  QT_ENABLE_HIGHDPI_SCALING QT_DEVICE_PIXEL_RATIO QT_USE_PHYSICAL_DPI QT_FONT_DPI QT_QPA_PLATFORMTHEME \
  QT_STYLE_OVERRIDE
# The window's backups of the list read go to a folder of their own.
data_home=$(mktemp -d)
trap 'rm -rf "$data_home"' EXIT
for dpi in "${dpis[@]}"; do
  # A screen ten inches square: Xvfb gives its size in whole millimetres
  # (254), from which the toolkit gets back the very dpi, so the scale is
  # exactly dpi / 96.
  screen=$((dpi * 10))
  XDG_DATA_HOME="$data_home" QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 ${screen}x${screen}x24 -dpi $dpi" ./build-docs/vr20-screenshots docs
done
