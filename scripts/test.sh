#!/usr/bin/env bash
# Installs every test dependency, builds the module once (the abi3 wheel, with the C++ unit tests
# enabled), runs the C++ unit tests (ctest), then the Python tests (pytest) on every CPython 3.11
# or later on this machine, each in its own virtual environment under build/venvs. Exits
# non-zero on any failure, a crash at interpreter exit included (pytest's exit status is the
# interpreter's).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

apt_install() {
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@"
}
missing=()
dpkg -s libgtest-dev >/dev/null 2>&1 || missing+=(libgtest-dev)
# A Debian or Ubuntu python3 may lack venv support or its headers.
python3 -c "import ensurepip" 2>/dev/null || missing+=(python3-venv)
python3 -c "import os, sysconfig; assert os.path.exists(sysconfig.get_paths()['include'] + '/Python.h')" \
    2>/dev/null || missing+=(python3-dev)
if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing ${missing[*]} (apt-get)"
    apt_install "${missing[@]}"
fi

# Build once: the wheel every interpreter installs, and the C++ tests beside it. Only long pip
# options: a distribution's pip (23.0 in Debian 12) lacks some short ones. The C++ glue tests
# embed the build environment's interpreter and import its NumPy.
build_env=build/venvs/build
echo "== building the wheel and the C++ tests with $(python3 --version) (several minutes)"
[ -x $build_env/bin/python ] || python3 -m venv $build_env
$build_env/bin/python -m pip install --quiet "scikit-build-core>=0.10" cmake ninja numpy
rm -rf build/dist
$build_env/bin/python -m pip wheel --quiet --no-build-isolation --no-deps . --wheel-dir build/dist \
    --config-settings=build-dir=build/py --config-settings=cmake.define.KELVO_BUILD_TESTS=ON
wheel=$(ls build/dist/kelvo-*.whl)
echo "== C++ tests"
if $build_env/bin/ctest --test-dir build/py --output-on-failure -j 2 >build/ctest.log 2>&1; then
    tail -n 3 build/ctest.log
else
    grep -v "Passed" build/ctest.log >&2
    exit 1
fi

# One interpreter per minor version: the newest pyenv build of it, else the one on PATH.
interpreter_for() {
    local minor=$1 candidate
    for candidate in $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3."$minor".*/bin/python3."$minor" \
        2>/dev/null | sort -V -r) "$(command -v python3."$minor" || true)"; do
        if [ -n "$candidate" ] && "$candidate" -c "import sys; assert sys.version_info[:2] == (3, $minor)" \
            2>/dev/null; then
            echo "$candidate"
            return
        fi
    done
}

failed=()
tested=0
for minor in $(seq 11 20); do
    python=$(interpreter_for "$minor")
    if [ -z "$python" ]; then
        [ "$minor" -le 13 ] && echo "note: no Python 3.$minor on this machine; its tests are skipped"
        continue
    fi
    env_dir=build/venvs/py3.$minor
    [ -x $env_dir/bin/python ] || "$python" -m venv $env_dir
    echo "== pytest on $("$python" --version) ($python)"
    $env_dir/bin/python -m pip install --quiet numpy pytest stim
    $env_dir/bin/python -m pip install --quiet --force-reinstall --no-deps "$wheel"
    tested=$((tested + 1))
    # From outside the tree, so that `import kelvo` finds the installed wheel.
    (cd build && "$root/$env_dir/bin/python" -m pytest -q -p no:cacheprovider "$root/tests") ||
        failed+=("3.$minor (status $?)")
done
[ $tested -gt 0 ] || { echo "no Python 3.11 or later found" >&2; exit 1; }
if [ ${#failed[@]} -gt 0 ]; then
    echo "pytest failed on Python ${failed[*]}" >&2
    exit 1
fi
