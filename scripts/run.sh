#!/usr/bin/env bash
# Builds Kelvotool and starts the window with its virtual printer switched on (on a loopback
# address and a pseudo-terminal only). Arguments go to the program; --help lists them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build run
cmake -S . -B build-app -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVO_BUILD_TESTS=OFF
cmake --build build-app
exec build-app/kelvotool --virtual-printer "$@"
