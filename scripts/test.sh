#!/usr/bin/env bash
# Builds everything and runs every test: the native unit tests and
# marlovex-batch end to end under ASan/UBSan, the fuzz target over its
# corpus and for a minute more, the warning-free Windows build, and the
# Windows program end to end under Wine: the 32-bit build where this host
# executes 32-bit x86 code, otherwise the same sources built for x86-64,
# under wine64.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/host.sh
jobs=$(nproc)

bash scripts/install-deps.sh native windows wine

echo "== Native build, unit tests and marlovex-batch end to end (ASan/UBSan)"
cmake -S . -B build/native-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMARLOVEX_SANITIZE=ON \
      -DCMAKE_CXX_FLAGS=-Werror >/dev/null
cmake --build build/native-asan -j "$jobs"
(cd build/native-asan && ctest --output-on-failure -j "$jobs")

echo "== Fuzzing the scan and the strip, and the copy's record"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARLOVEX_FUZZ=ON \
      -DBUILD_TESTING=OFF >/dev/null
cmake --build build/fuzz -j "$jobs" --target fuzz_strip fuzz_copy
build/fuzz/tests/fuzz/fuzz_strip -runs=0 tests/fuzz/corpus
# A target for a while, from a copy of its corpus: its statistics, or its
# failing input and a failure.
fuzz() {
  local target=$1 seconds=$2 length=$3 corpus=$4 work out
  work=$(mktemp -d)
  [ -z "$corpus" ] || cp "$corpus"/* "$work"/
  if ! out=$(build/fuzz/tests/fuzz/"$target" -max_total_time="$seconds" -max_len="$length" -print_final_stats=1 \
             -artifact_prefix="$work/" "$work" 2>&1); then
    echo "$out" | tail -n 40
    echo "$target found a failing input; it is in $work" >&2
    return 1
  fi
  rm -rf "$work"
  echo "$out" | grep -E "^(#[0-9]+ *DONE|Done|stat::number_of_executed_units)"
}
fuzz fuzz_strip "${FUZZ_SECONDS:-60}" 4096 tests/fuzz/corpus
fuzz fuzz_copy "$(( ${FUZZ_SECONDS:-60} / 2 ))" 20000 ""

echo "== Windows build (warnings are errors)"
cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-Werror >/dev/null
cmake --build build/windows -j "$jobs"
ls -l build/windows/marlovex.exe
e2e=build/windows
if ! host_runs_i386; then
  echo "== Windows x86-64 build (warnings are errors), for the end-to-end suite"
  cmake -S . -B build/windows64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-Werror >/dev/null
  cmake --build build/windows64 -j "$jobs"
  e2e=build/windows64
fi

echo "== marlovex.exe end to end under Wine and Xvfb"
if [ "$e2e" = build/windows ]; then
  echo "The end-to-end suite runs on the 32-bit build ($e2e/marlovex.exe, PE32) under Wine."
else
  echo "The end-to-end suite runs on the x86-64 build ($e2e/marlovex.exe) under wine64:" \
       "this host cannot execute 32-bit x86 code (no IA-32 emulation), so the PE32 build is built but not run."
fi
# Japanese runs need the locale, so that Wine reads the dropped UTF-8 paths.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
# Debian's python3, which has python3-xlib, whatever python3 comes first.
/usr/bin/python3 tests/e2e/wine_e2e.py --exe "$e2e/marlovex.exe" \
  --driver "$e2e/marlovex-e2e-driver.exe" --batch build/native-asan/marlovex-batch \
  --artifacts build/e2e-artifacts
echo "Screenshots: build/e2e-artifacts/"
