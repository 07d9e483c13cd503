#!/usr/bin/env bash
# Builds everything and runs every test: the native unit tests and
# marlovex-batch end to end under ASan/UBSan, the fuzz target over its
# corpus and for a minute more, the warning-free Windows build, and the
# Windows program end to end under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/install-deps.sh native windows wine

echo "== Native build, unit tests and marlovex-batch end to end (ASan/UBSan)"
cmake -S . -B build/native-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMARLOVEX_SANITIZE=ON \
      -DCMAKE_CXX_FLAGS=-Werror >/dev/null
cmake --build build/native-asan -j "$jobs"
(cd build/native-asan && ctest --output-on-failure -j "$jobs")

echo "== Fuzzing the scan and the strip"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARLOVEX_FUZZ=ON \
      -DBUILD_TESTING=OFF >/dev/null
cmake --build build/fuzz -j "$jobs" --target fuzz_strip
build/fuzz/tests/fuzz/fuzz_strip -runs=0 tests/fuzz/corpus
work=$(mktemp -d)
cp tests/fuzz/corpus/* "$work"/
build/fuzz/tests/fuzz/fuzz_strip -max_total_time="${FUZZ_SECONDS:-60}" -max_len=4096 -print_final_stats=1 "$work" 2>&1 |
  grep -E "^(#[0-9]+ *DONE|Done|stat::number_of_executed_units)" || true
rm -rf "$work"

echo "== Windows build (warnings are errors)"
cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-Werror >/dev/null
cmake --build build/windows -j "$jobs"
ls -l build/windows/marlovex.exe

echo "== marlovex.exe end to end under Wine and Xvfb"
# Japanese runs need the locale, so that Wine reads the dropped UTF-8 paths.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
# Debian's python3, which has python3-xlib, whatever python3 comes first.
/usr/bin/python3 tests/e2e/wine_e2e.py --exe build/windows/marlovex.exe \
  --driver build/windows/marlovex-e2e-driver.exe --batch build/native-asan/marlovex-batch \
  --artifacts build/e2e-artifacts
echo "Screenshots: build/e2e-artifacts/"
