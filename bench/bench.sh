#!/usr/bin/env bash
# Generates the benchmark tree (once per seed) and measures marlovex-batch
# against the floor, cp -r and the peer tools that are installed.
#   bench/bench.sh [--files N] [--seed S]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/install-deps.sh" build bench
cmake -S "$root" -B "$root/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$root/build/bench" --target marlovex-batch marlovex-floor >/dev/null
python3 "$root/bench/make_tree.py" "$root/bench/out" "$@"
python3 "$root/bench/run_bench.py" "$root/bench/out/tree" "$root/build/bench" --repeat "${REPEAT:-9}" |
  tee "$root/bench/out/results.txt"
