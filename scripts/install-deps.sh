#!/usr/bin/env bash
# install-deps.sh: installs what building and testing KADRON needs on Debian 12, where missing.
#   scripts/install-deps.sh          everything: Linux build, tests, both Windows cross builds, Wine
#   scripts/install-deps.sh --build  only what building the Linux tool needs
#   scripts/install-deps.sh --deb    the Linux build, and what making and testing the .deb needs
#   scripts/install-deps.sh --zip    the Linux build, and what making and testing the Windows zip needs
# --deb and --zip may be given together.
set -eu

packages=(g++ make cmake)
# The .deb: dpkg-dev and file compute its dependencies; its tests check the manual page (mandoc,
# groff) and run lintian under Debian's Python. The zip: the i686 cross compiler, and pefile for the
# static check of the exe.
deb_packages=(dpkg-dev file mandoc groff-base python3 lintian)
zip_packages=(g++-mingw-w64-i686 binutils-mingw-w64-i686 python3 python3-pefile)
windows=0
if [ "$#" -gt 0 ]; then
  for word in "$@"; do
    case "$word" in
      --build) ;;
      --deb) packages+=("${deb_packages[@]}") ;;
      --zip) packages+=("${zip_packages[@]}") ;;
      *) echo "usage: bash scripts/install-deps.sh [--build | --deb | --zip | --deb --zip]" >&2; exit 2 ;;
    esac
  done
else
  # Tests; the Windows builds of both widths and the Wine that runs them (wine64 always; wine32 below,
  # only where this machine executes 32-bit x86 code); pefile for the static check of the exe;
  # dpkg-dev and file for the .deb's computed dependencies, mandoc and groff to check the manual page,
  # lintian to check the .deb; clang and its runtime libraries for the libFuzzer targets.
  packages+=(libgtest-dev libgmock-dev python3 python3-pefile
             g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
             wine wine64
             dpkg-dev file mandoc groff-base lintian
             clang libclang-rt-14-dev)
  windows=1
fi

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

. "$(dirname "$0")/runs-i386.sh"

# wine32 comes from the i386 architecture; a machine that cannot run 32-bit x86 code needs neither.
added_arch=0
if [ "$windows" -eq 1 ] && runs_i386; then
  packages+=(wine32)
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
    added_arch=1
  fi
fi

missing=()
for p in "${packages[@]}"; do
  case "$p" in wine32) name="wine32:i386" ;; *) name="$p" ;; esac
  dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

install() {
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"
}

if [ "${#missing[@]}" -gt 0 ] || [ "$added_arch" -eq 1 ]; then
  echo "installing: ${missing[*]}"
  # An index that is mid-sync on the mirror (one this machine may not even need) fails the update;
  # the install decides, and shows the update's error if it fails too.
  update_log=$(mktemp)
  if ! as_root apt-get update -q >"$update_log" 2>&1; then
    echo "apt-get update failed; installing from the package lists at hand"
  fi
  rest=()
  for p in "${missing[@]}"; do [ "$p" = wine32 ] || rest+=("$p"); done
  if [ "${#rest[@]}" -gt 0 ] && ! install "${rest[@]}"; then
    echo "apt-get update said:" >&2
    cat "$update_log" >&2
    rm -f "$update_log"
    exit 1
  fi
  # Without wine32 the Wine tests run on the x86_64 build (scripts/test-all.sh says so).
  if [ "${#rest[@]}" -lt "${#missing[@]}" ] && ! install wine32:i386; then
    echo "wine32 could not be installed; the Wine tests will run on the x86_64 build" >&2
    grep -E '^(E|W|Err):' "$update_log" >&2 || true
  fi
  rm -f "$update_log"
fi
