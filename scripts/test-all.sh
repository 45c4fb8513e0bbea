#!/usr/bin/env bash
# test-all.sh: installs what is missing, builds the Linux and Windows executables and runs every test.
set -eu
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=2
echo "== Linux build and tests"
cmake -S . -B build -DKADRON_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

echo "== Linux build and tests with the address and undefined-behaviour sanitizers"
cmake -S . -B build-sanitize -DKADRON_WERROR=ON -DKADRON_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build-sanitize -j"$jobs"
ctest --test-dir build-sanitize -j"$jobs" --output-on-failure

echo "== Windows build (mingw-w64 i686) and tests under Wine"
cmake -S . -B build-win --toolchain cmake/mingw-i686.cmake -DKADRON_WERROR=ON -DCMAKE_BUILD_TYPE=Release
cmake --build build-win -j"$jobs"
ctest --test-dir build-win -j"$jobs" --output-on-failure
