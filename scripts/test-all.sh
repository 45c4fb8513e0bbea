#!/usr/bin/env bash
# test-all.sh: installs what is missing, builds the Linux and Windows executables and runs every test.
#   KADRON_WINDOWS_BUILD=i686|x86_64 picks the Windows build that the Wine tests run on.
set -eu
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=2

# The Wine tests run on the i686 build, the product, where this machine can execute 32-bit x86
# programs and wine32 is installed; elsewhere on the x86_64 build of the same sources under 64-bit
# Wine, and the line below says why.
windows_build=${KADRON_WINDOWS_BUILD:-}
case "$windows_build" in
  i686|x86_64) why="KADRON_WINDOWS_BUILD=$windows_build asks for it" ;;
  "")
    . scripts/runs-i386.sh
    if loader=$(/usr/lib/wine/wine --version 2>&1); then
      windows_build=i686
      why="this machine runs 32-bit x86 programs (Wine's 32-bit loader: $loader)"
    elif runs_i386; then
      windows_build=x86_64
      why="the i686 Wine tests did not run: this machine runs 32-bit x86 programs, but Wine's 32-bit loader is not there or fails (${loader##*: }; wine32 may not have been installable: see the install step above)"
    else
      windows_build=x86_64
      why="the i686 Wine tests did not run: this machine cannot run 32-bit x86 programs (a 32-bit x86 program fails to execute)"
    fi ;;
  *) echo "KADRON_WINDOWS_BUILD must be i686 or x86_64, not '$windows_build'" >&2; exit 2 ;;
esac
wine_width=$([ "$windows_build" = i686 ] && echo 32 || echo 64)
windows_line="Windows tests run on the $windows_build build under $wine_width-bit Wine: $why."

echo "== Linux build and tests"
cmake -S . -B build -DKADRON_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

echo "== Linux build and tests with the address and undefined-behaviour sanitizers"
cmake -S . -B build-sanitize -DKADRON_WERROR=ON -DKADRON_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build-sanitize -j"$jobs"
ctest --test-dir build-sanitize -j"$jobs" --output-on-failure

echo "== Fuzzing: 60 s per target (settings, word splitting, version lookup, run-record JSON text) with libFuzzer"
bash scripts/fuzz.sh 60

# Both widths are built and checked as files everywhere; Wine runs the one chosen above.
echo "== $windows_line"
for width in i686 x86_64; do
  dir=$([ "$width" = i686 ] && echo build-win || echo build-win64)
  wine_tests=$([ "$width" = "$windows_build" ] && echo ON || echo OFF)
  echo "== Windows build (mingw-w64 $width), tests under Wine: $wine_tests"
  cmake -S . -B "$dir" --toolchain "cmake/mingw-$width.cmake" -DKADRON_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
    -DKADRON_WINE_TESTS="$wine_tests"
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure
done

echo "== Packages: the .deb and the Windows zip, built and tested"
bash scripts/package.sh --test
echo "$windows_line"
