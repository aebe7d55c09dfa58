#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build-essential cmake ninja-build qt6-base-dev libcups2-dev cups-client \
    fonts-wqy-microhei fonts-dejavu-core libgtest-dev cups-daemon cups iproute2
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
(cd build && ctest --output-on-failure -j "$jobs")
