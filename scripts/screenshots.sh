#!/usr/bin/env bash
# Renews the README's screenshots, docs/satellite-setting.png and
# docs/update.png: the real window under Xvfb at 96 dpi with the form's font,
# talking to the simulated box. It reads the box's list once (about 40 s)
# and loads one package it builds. Builds into build-docs/ of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/packages.sh
cmake -S . -B build-docs -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVR20_BUILD_TESTS=ON -DVR20_BUILD_DOCS=ON
cmake --build build-docs -j2 --target vr20-screenshots
mkdir -p docs
# Nothing from the caller's desktop may scale the window or choose its style.
unset QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS QT_AUTO_SCREEN_SCALE_FACTOR QT_ENABLE_HIGHDPI_SCALING \
  QT_FONT_DPI QT_QPA_PLATFORMTHEME QT_STYLE_OVERRIDE
# The window's backups of the list read go to a folder of their own.
data_home=$(mktemp -d)
trap 'rm -rf "$data_home"' EXIT
XDG_DATA_HOME="$data_home" QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" \
  ./build-docs/vr20-screenshots docs
