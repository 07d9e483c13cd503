#!/usr/bin/env bash
# Times the window (marlovex.exe under Wine and Xvfb, driven by a drop and
# START) against marlovex-batch on the same trees: 400, 1,600 and 10,000
# files by default.
#   bench/gui_bench.sh [--sizes 400,1600]
# The 32-bit build where this host executes 32-bit code, else the x86-64
# build under wine64.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/scripts/host.sh"
bash "$root/scripts/install-deps.sh" build windows wine
cmake -S "$root" -B "$root/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$root/build/bench" --target marlovex-batch >/dev/null
windows_build "$root"
if [ "$WINDOWS_BUILD" != "$root/build/windows" ]; then
  echo "This host cannot execute 32-bit x86 code: timing the x86-64 build under wine64." >&2
fi
cmake -S "$root" -B "$WINDOWS_BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$WINDOWS_TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
  >/dev/null
cmake --build "$WINDOWS_BUILD" --target marlovex marlovex-batch marlovex-e2e-driver marlovex-gui-timer >/dev/null
/usr/bin/python3 "$root/bench/gui_bench.py" --exe "$WINDOWS_BUILD/marlovex.exe" \
  --driver "$WINDOWS_BUILD/marlovex-e2e-driver.exe" --timer "$WINDOWS_BUILD/marlovex-gui-timer.exe" \
  --batch "$root/build/bench/marlovex-batch" "$@"
