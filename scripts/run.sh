#!/usr/bin/env bash
# Builds marlovex and runs it: marlovex-batch on the PATHs given.
#   scripts/run.sh [--all-app] PATH...
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/install-deps.sh" build >&2
cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$root/build/native" --target marlovex-batch >/dev/null
exec "$root/build/native/marlovex-batch" "$@"
