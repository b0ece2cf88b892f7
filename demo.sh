#!/usr/bin/env bash
# Installs the packages it needs (tools/install-deps.sh), builds vlfwu and the simulated
# switch, starts the simulated switch (its flash kept in build/demo/flash.bin, first seeded
# with the Sonarch60 firmware at version 4.01) and runs vlfwu on it as COM1. Answer its
# question with Y to update the switch; a second run finds the switch already at the image's
# version. Delete build/demo/flash.bin to start over.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh native

demo=build/demo
mkdir -p "$demo"
echo "Building vlfwu and switch-sim in build/ ..."
if ! { cmake -S . -B build -G Ninja && cmake --build build --target vlfwu switch-sim; } > "$demo/build.log" 2>&1; then
  cat "$demo/build.log"
  exit 1
fi

flash=$demo/flash.bin
link=$PWD/$demo/com1
simArgs=(--link "$link" --flash "$flash")
if [ ! -f "$flash" ]; then
  simArgs+=(--install firmware/images/sonarch60.vlfw --set-version 4.01)
fi
build/bin/switch-sim "${simArgs[@]}" > "$demo/switch-sim.log" 2>&1 &
sim=$!
trap 'kill "$sim" 2> /dev/null; wait "$sim" 2> /dev/null || true' EXIT

# The simulator says when its terminal is ready.
for _ in $(seq 100); do
  grep -q "COM link" "$demo/switch-sim.log" 2> /dev/null && break
  kill -0 "$sim" 2> /dev/null || { cat "$demo/switch-sim.log"; exit 1; }
  sleep 0.1
done
echo "Simulated switch on COM1 (flash in $flash)."

# vlfwu always ends with exit status 1, a successful update included.
VLFWU_COM1=$link build/bin/vlfwu 1 || true
