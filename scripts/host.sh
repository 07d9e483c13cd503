# host.sh - what this machine can run; sourced by the other scripts.
#
# host_runs_i386: whether this machine executes 32-bit x86 code. Machines of
# the same kind differ here: some kernels run without IA-32 emulation, and
# then neither the i386 loader nor Wine's 32-bit loader can start. The test
# runs a 93-byte i386 program (an ELF header, one program header and the
# code of exit(42)) that needs no library, so it answers the same before and
# after anything is installed.
# windows_build ROOT: the Windows build this host can run, in WINDOWS_BUILD
# (its build folder) and WINDOWS_TOOLCHAIN: the 32-bit product, or where
# 32-bit code cannot run the same sources for x86-64, under wine64.
windows_build() {
  if host_runs_i386; then
    WINDOWS_BUILD="$1/build/windows"
    WINDOWS_TOOLCHAIN="$1/cmake/toolchain-i686-w64-mingw32.cmake"
  else
    WINDOWS_BUILD="$1/build/windows64"
    WINDOWS_TOOLCHAIN="$1/cmake/toolchain-x86_64-w64-mingw32.cmake"
  fi
}

host_runs_i386() {
  local probe status
  probe=$(mktemp "${TMPDIR:-/tmp}/marlovex-i386-XXXXXX") || return 1
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'  >"$probe"  # 32-bit, little endian
  printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08'         >>"$probe"  # executable, i386, entry
  printf '\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'         >>"$probe"  # program headers at 52
  printf '\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'         >>"$probe"  # one of 32 bytes
  printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' >>"$probe"  # load it all
  printf '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' >>"$probe"  # 93 bytes, r-x
  printf '\x31\xdb\xb3\x2a\x31\xc0\x40\xcd\x80'                     >>"$probe"  # exit(42)
  chmod 700 "$probe"
  status=0
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  [ "$status" -eq 42 ]
}
