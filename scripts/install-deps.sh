#!/usr/bin/env bash
# Installs what building and testing marlovex needs on Debian, skipping
# what is already there. Run as root (or through sudo).
#   install-deps.sh build     compilers and CMake
#   install-deps.sh native    compilers, CMake, GoogleTest, clang for fuzzing,
#                             strace for the system-call tests
#   install-deps.sh windows   the MinGW-w64 cross compiler for marlovex.exe,
#                             and the x86-64 one where 32-bit code cannot run
#   install-deps.sh wine      Wine, Xvfb and the end-to-end tools
#   install-deps.sh bench     ImageMagick, exiftool and peers for bench/
#
# Only packages this host can use are asked for: 32-bit Wine (wine32:i386)
# where the machine executes 32-bit x86 code, 64-bit Wine alone where it
# does not (see host.sh).
#
# A package index can be broken or mid-update (a mirror sync in progress).
# The index update is retried; when the install still fails, the same
# packages are installed from the release's main suites alone, through a
# private sources list and lists folder, and a line says so. When that fails
# too the script fails: it never leaves a test to be skipped.
#
# APT_SOURCE_LIST names another sources list to use instead of the system's
# (to try the fallback with a list that holds a bad entry).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/host.sh"

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

i386=0
if host_runs_i386; then i386=1; fi

packages=()
for group in "$@"; do
  case "$group" in
    build) packages+=(g++ cmake ninja-build) ;;
    native) packages+=(g++ cmake ninja-build libgtest-dev clang libclang-rt-14-dev python3 git strace) ;;
    windows)
      packages+=(g++-mingw-w64-i686 cmake ninja-build)
      [ "$i386" -eq 1 ] || packages+=(g++-mingw-w64-x86-64) ;;
    wine)
      packages+=(wine xvfb xauth python3 python3-xlib x11-utils imagemagick locales fonts-ipafont-gothic strace)
      if [ "$i386" -eq 1 ]; then packages+=(wine32:i386); else packages+=(wine64); fi ;;
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

apt_options=()
if [ -n "${APT_SOURCE_LIST:-}" ]; then
  lists=$(mktemp -d)
  mkdir -p "$lists/partial" "$lists/parts"
  chmod -R 755 "$lists"  # apt's download user reads and writes there
  apt_options=(-o "Dir::Etc::SourceList=$APT_SOURCE_LIST" -o "Dir::Etc::SourceParts=$lists/parts"
               -o "Dir::State::Lists=$lists")
fi

# apt-get update, a few times: an index caught mid-sync is often whole again
# a little later. Its failure is not final, since the lists it did fetch may
# hold every package needed.
update() {
  local try
  for try in 1 2 3; do
    if $SUDO apt-get "$@" update -qq; then return 0; fi
    [ "$try" -lt 3 ] && sleep $((try * 5))
  done
  return 1
}

install() {
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get "$@" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

echo "Installing: ${missing[*]}"
update "${apt_options[@]}" || echo "install-deps.sh: the package index could not be updated in full; installing from what was fetched"
if install "${apt_options[@]}"; then exit 0; fi

# The release's main suites alone, from the Debian mirror, in a private list.
. /etc/os-release
release="${VERSION_CODENAME:-bookworm}"
mirror="http://deb.debian.org/debian"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
options=""
[ -f "$keyring" ] && options="[signed-by=$keyring] "
fallback=$(mktemp -d)
mkdir -p "$fallback/lists/partial" "$fallback/parts"
chmod -R 755 "$fallback"
printf 'deb %s%s %s main\ndeb %s%s %s-updates main\n' "$options" "$mirror" "$release" "$options" "$mirror" "$release" \
  >"$fallback/sources.list"
fallback_options=(-o "Dir::Etc::SourceList=$fallback/sources.list" -o "Dir::Etc::SourceParts=$fallback/parts"
                  -o "Dir::State::Lists=$fallback/lists")
echo "install-deps.sh: the install failed with the configured package sources; installing from the main suites ($release, $release-updates) alone"
if update "${fallback_options[@]}" && install "${fallback_options[@]}"; then
  rm -rf "$fallback"
  exit 0
fi
rm -rf "$fallback"
echo "install-deps.sh: could not install ${missing[*]}, neither from the configured sources nor from the main suites" >&2
exit 1
