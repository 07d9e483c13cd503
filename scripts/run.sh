#!/usr/bin/env bash
# Builds marlovex and runs it.
#   scripts/run.sh              marlovex.exe under Wine, on this display
#   scripts/run.sh PATH...      with no display: marlovex-batch on the PATHs
# marlovex.exe keeps its settings in marlovex.ini in the current folder.
# On a host that cannot execute 32-bit x86 code, the same program built for
# x86-64 runs under wine64 instead.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/scripts/host.sh"

if [ -z "${DISPLAY:-}" ]; then
  bash "$root/scripts/install-deps.sh" build >&2
  cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$root/build/native" --target marlovex-batch >/dev/null
  if [ $# -eq 0 ]; then
    cat >&2 <<MSG
No display: DISPLAY is not set, and marlovex.exe, a windowed program, needs one.
The console front end does the same job on the files and folders you name:

  $root/build/native/marlovex-batch [--all-app] PATH...

for example: scripts/run.sh ~/Pictures/trip
MSG
    exit 2
  fi
  exec "$root/build/native/marlovex-batch" "$@"
fi

bash "$root/scripts/install-deps.sh" windows wine >&2
windows_build "$root"
if [ "$WINDOWS_BUILD" != "$root/build/windows" ]; then
  echo "This host cannot execute 32-bit x86 code: running the x86-64 build of marlovex.exe under wine64." >&2
fi
cmake -S "$root" -B "$WINDOWS_BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$WINDOWS_TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$WINDOWS_BUILD" --target marlovex >/dev/null
export WINEDEBUG="${WINEDEBUG:--all}"
exec wine "$WINDOWS_BUILD/marlovex.exe"
