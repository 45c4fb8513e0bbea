#!/usr/bin/env bash
# package.sh: installs what is missing, builds the Debian package and the Windows zip (Release) and
# leaves them in dist/.
#   scripts/package.sh [deb|zip] [--test]
#     deb     the .deb alone: needs no Windows cross compiler
#     zip     the Windows zip alone (i686)
#     --test  then test what was built (ctest label "package" in build-pkg)
# Both packages when neither word is given. scripts/install-deps.sh --deb / --zip installs what each
# needs; never Wine.
set -eu
cd "$(dirname "$0")/.."

usage() { echo "usage: bash scripts/package.sh [deb|zip] [--test]" >&2; exit 2; }
make_deb=0
make_zip=0
test_packages=0
for word in "$@"; do
  case "$word" in
    deb) make_deb=1 ;;
    zip) make_zip=1 ;;
    --test) test_packages=1 ;;
    *) usage ;;
  esac
done
if [ "$make_deb" -eq 0 ] && [ "$make_zip" -eq 0 ]; then
  make_deb=1
  make_zip=1
fi
jobs=2

needs=()
[ "$make_deb" -eq 0 ] || needs+=(--deb)
[ "$make_zip" -eq 0 ] || needs+=(--zip)
bash scripts/install-deps.sh "${needs[@]}"

# The Linux build is configured for the package tests in either case: they run from it, test only
# the packages in dist/ and need no test libraries.
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DKADRON_PACKAGE_TESTS=ON \
  -DKADRON_PACKAGE_WIN_BUILD="$PWD/build-pkg-win" -DKADRON_PACKAGE_DIST="$PWD/dist"
mkdir -p dist

if [ "$make_deb" -eq 1 ]; then
  echo "== Linux package (.deb)"
  cmake --build build-pkg -j"$jobs"
  rm -rf build-pkg/cpack
  cpack --config build-pkg/CPackConfig.cmake -B build-pkg/cpack
  # This version's package alone: one of another version would be tested by mistake.
  rm -f dist/kadron_*.deb
  cp build-pkg/cpack/kadron_*.deb dist/
fi

if [ "$make_zip" -eq 1 ]; then
  echo "== Windows package (.zip, i686)"
  cmake -S . -B build-pkg-win --toolchain cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
  cmake --build build-pkg-win -j"$jobs"
  rm -rf build-pkg-win/cpack
  cpack --config build-pkg-win/CPackConfig.cmake -B build-pkg-win/cpack
  rm -f dist/kadron-*-win32.zip
  cp build-pkg-win/cpack/kadron-*-win32.zip dist/
fi
ls -l dist

if [ "$test_packages" -eq 1 ]; then
  echo "== Package tests"
  # Only the tests of what was built now.
  if [ "$make_deb" -eq 0 ]; then
    ctest --test-dir build-pkg -R '^package_zip$' --output-on-failure
  elif [ "$make_zip" -eq 0 ]; then
    ctest --test-dir build-pkg -L package -E '^package_zip$' -j"$jobs" --output-on-failure
  else
    ctest --test-dir build-pkg -L package -j"$jobs" --output-on-failure
  fi
fi
