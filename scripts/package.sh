#!/usr/bin/env bash
# package.sh: builds the Debian package and the Windows zip (Release) and leaves both in dist/.
#   scripts/package.sh         build both packages
#   scripts/package.sh --test  build both, then test them (ctest label "package" in build-pkg)
# Needs cmake, g++, dpkg-dev and file (dependencies of the .deb) and g++-mingw-w64-i686; never Wine.
set -eu
cd "$(dirname "$0")/.."

test_packages=0
case "${1:-}" in
  "") ;;
  --test) test_packages=1 ;;
  *) echo "usage: bash scripts/package.sh [--test]" >&2; exit 2 ;;
esac
jobs=2

echo "== Linux package (.deb)"
# Configured for the package tests, which test only the packages in dist/ and need no test libraries.
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DKADRON_PACKAGE_TESTS=ON \
  -DKADRON_PACKAGE_WIN_BUILD="$PWD/build-pkg-win" -DKADRON_PACKAGE_DIST="$PWD/dist"
cmake --build build-pkg -j"$jobs"
rm -rf build-pkg/cpack
cpack --config build-pkg/CPackConfig.cmake -B build-pkg/cpack

echo "== Windows package (.zip, i686)"
cmake -S . -B build-pkg-win --toolchain cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build build-pkg-win -j"$jobs"
rm -rf build-pkg-win/cpack
cpack --config build-pkg-win/CPackConfig.cmake -B build-pkg-win/cpack

# Only this version's two files: packages of other versions would be tested by mistake.
mkdir -p dist
rm -f dist/kadron_*.deb dist/kadron-*-win32.zip
cp build-pkg/cpack/kadron_*.deb build-pkg-win/cpack/kadron-*-win32.zip dist/
ls -l dist

if [ "$test_packages" -eq 1 ]; then
  echo "== Package tests"
  ctest --test-dir build-pkg -L package -j"$jobs" --output-on-failure
fi
