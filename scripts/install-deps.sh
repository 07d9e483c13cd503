#!/usr/bin/env bash
# Installs what building and testing marlovex needs on Debian, skipping
# what is already there. Run as root (or through sudo).
#   install-deps.sh native    compilers, CMake, GoogleTest, clang for fuzzing
#   install-deps.sh windows   the MinGW-w64 cross compiler
#   install-deps.sh wine      Wine (32-bit), Xvfb and the end-to-end tools
#   install-deps.sh bench     ImageMagick, exiftool and peers for bench/
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

packages=()
for group in "$@"; do
  case "$group" in
    build) packages+=(g++ cmake ninja-build) ;;
    native) packages+=(g++ cmake ninja-build libgtest-dev clang libclang-rt-14-dev python3 git) ;;
    windows) packages+=(g++-mingw-w64-i686 cmake ninja-build) ;;
    wine) packages+=(wine wine32:i386 xvfb xauth python3 python3-xlib x11-utils imagemagick
                     locales fonts-ipafont-gothic) ;;
    bench) packages+=(imagemagick libimage-exiftool-perl exiv2 jhead time python3) ;;
    *) echo "install-deps.sh: unknown group $group" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

for package in "${missing[@]}"; do
  if [[ "$package" == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
done
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
