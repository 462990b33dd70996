#!/usr/bin/env bash
# Installs the packages, builds and starts the tool. When no serial port
# COM1..COM15 exists, a simulated box is started first and linked as
# /dev/COM1 (linking in /dev needs root), so the tool has a box to talk to.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/packages.sh
bash scripts/build.sh
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

sim_pid=""
cleanup() { if [ -n "$sim_pid" ]; then $SUDO kill "$sim_pid" 2>/dev/null || true; fi; }
trap cleanup EXIT

have_port=no
for n in $(seq 1 15); do
  if [ -e "/dev/COM$n" ]; then have_port=yes; break; fi
done
if [ "$have_port" = no ]; then
  echo "No /dev/COM1..COM15 found: starting the simulated box as /dev/COM1 (log: build/boxsim.log)"
  $SUDO ./build/vr20-boxsim --link /dev/COM1 > build/boxsim.log 2>&1 &
  sim_pid=$!
  for _ in $(seq 1 50); do [ -e /dev/COM1 ] && break; sleep 0.1; done
  # The terminal belongs to root when the box was started through sudo.
  if [ -n "$SUDO" ] && [ -e /dev/COM1 ]; then $SUDO chmod 666 "$(readlink -f /dev/COM1)"; fi
fi
./build/vr20-loader "$@"
