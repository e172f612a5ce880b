#!/usr/bin/env bash
# Installs every test dependency, builds once with the unit tests enabled, then runs the C++ unit
# tests (ctest) and the Python tests (pytest). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! dpkg -s libgtest-dev >/dev/null 2>&1; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev
fi
python3 -m pip install -q "scikit-build-core>=0.10" cmake ninja numpy pytest stim
python3 -m pip install -q --no-build-isolation . \
    -Cbuild-dir=build/py -Ccmake.define.KELVO_BUILD_TESTS=ON
ctest --test-dir build/py --output-on-failure -j 2
python3 -m pytest -q tests
