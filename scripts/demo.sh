#!/usr/bin/env bash
# demo.sh: builds KADRON and runs it for a while on the bundled demo target.
# The target would sleep 10 s, but each start may run only 700 ms, so KADRON
# ends it by force every cycle of 2 s and the status line moves.
set -eu
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --build
cmake -S . -B build-demo -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build-demo -j2 > /dev/null
seconds=${DEMO_SECONDS:-15}
echo "Running KADRON for ${seconds} s (press Ctrl+C to stop it sooner):"
echo
status=0
timeout --foreground -s INT "$seconds" build-demo/kadron build-demo/demo/kadron_demo_target " 10000" 2000 700 || status=$?
echo
# 124: stopped by the time limit, 130: by Ctrl+C; both are the normal end here.
case "$status" in 0|124|130) echo "Demo over. Try: build-demo/kadron build-demo/demo/kadron_demo_target \" 3000\" 5000 1000 nowait" ;;
  *) exit "$status" ;; esac
