#!/usr/bin/env bash
# Builds the Debian package with CPack: bash scripts/package.sh [BUILD_DIR
# [CMAKE_ARGS...]]. BUILD_DIR (default build/) is configured if it is new,
# only the installed targets are built, and the package is left there as
# vr20-loader_VERSION_ARCH.deb, its path printed last. Then it checks that
# the package holds what an installation needs.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true

# The metainfo's and the manual pages' date: the last commit's, so one
# checkout gives one package.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git rev-parse --git-dir >/dev/null 2>&1; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
  export SOURCE_DATE_EPOCH
fi

cmake -S . -B "$build" "$@"
cmake --build "$build" -j"$(nproc)" --target vr20-loader vr20-box vr20-pack vr20-boxsim vr20_dist
rm -f "$build"/vr20-loader_*.deb
(cd "$build" && cpack -G DEB)

debs=("$build"/vr20-loader_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "package.sh: expected one vr20-loader_*.deb in $build" >&2
  exit 1
fi
deb=${debs[0]}

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
missing=0
for path in \
  ./usr/bin/vr20-loader ./usr/bin/vr20-box ./usr/bin/vr20-pack ./usr/bin/vr20-boxsim \
  ./usr/share/applications/com.quorinel.vr20loader.desktop \
  ./usr/share/metainfo/com.quorinel.vr20loader.metainfo.xml \
  ./usr/share/icons/hicolor/scalable/apps/com.quorinel.vr20loader.svg \
  ./usr/share/icons/hicolor/16x16/apps/com.quorinel.vr20loader.png \
  ./usr/share/icons/hicolor/48x48/apps/com.quorinel.vr20loader.png \
  ./usr/share/icons/hicolor/256x256/apps/com.quorinel.vr20loader.png \
  ./usr/share/man/man1/vr20-loader.1.gz ./usr/share/man/man1/vr20-box.1.gz \
  ./usr/share/man/man1/vr20-pack.1.gz ./usr/share/man/man1/vr20-boxsim.1.gz \
  ./usr/lib/udev/rules.d/70-vr20-serial.rules \
  ./usr/share/doc/vr20-loader/copyright ./usr/share/doc/vr20-loader/changelog.gz; do
  if ! grep -qxF "$path" <<<"$contents"; then
    echo "package.sh: $deb lacks $path" >&2
    missing=1
  fi
done
[ "$missing" -eq 0 ]
dpkg-deb -f "$deb" Package Version Architecture Depends
echo "$deb"
