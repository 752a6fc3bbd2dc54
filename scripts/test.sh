#!/usr/bin/env bash
# Sets everything up and runs every test: the C++ tests in a release build and
# in a sanitizer build (ASan/UBSan), the threaded parts under TSan, the Python
# tests against the module packaged as an abi3 wheel from the release build and
# against the sanitized module, the command line's tests against the program
# the wheel installs and against its sanitized build, the C++ tests of a 32-bit
# ARM build under qemu-user, then a few seconds of each fuzz target.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

bash scripts/setup.sh

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DKARVIK_BENCH=OFF -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

rm -rf build/wheel
KARVIK_BUILD_DIR="$root/build/release" /usr/bin/python3 -m pip wheel -q --no-build-isolation --no-deps -w build/wheel .
wheels=(build/wheel/karvik-*-cp311-abi3-linux_*.whl)
[[ -f ${wheels[0]} ]] || { echo "test: no abi3 wheel in build/wheel" >&2; exit 1; }
/usr/bin/python3 -m pip install -q --no-deps --target build/wheel/site "${wheels[0]}"
KARVIK_MODULE_DIR="$root/build/wheel/site" /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests
# The command line as the wheel installs it.
KARVIK_CLI="$root/build/wheel/site/bin/karvik" KARVIK_MODULE_DIR="$root/build/wheel/site" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider cli/tests

cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DKARVIK_SANITIZE=address -DKARVIK_BENCH=OFF \
  -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build build/sanitize -j "$jobs"
ctest --test-dir build/sanitize --output-on-failure -j "$jobs"
# The Python tests against the sanitized module, the ASan runtime preloaded into
# the interpreter (whose own allocations at exit are not leaks of ours). The
# address-space limits of the resource tests leave no room for ASan's shadow memory.
LD_PRELOAD="$(g++ -print-file-name=libasan.so)" ASAN_OPTIONS=detect_leaks=0 \
  KARVIK_MODULE_DIR="$root/build/sanitize/python" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests --ignore=python/tests/test_resources.py
KARVIK_CLI="$root/build/sanitize/cli/karvik" KARVIK_MODULE_DIR="$root/build/wheel/site" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider cli/tests

cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DKARVIK_SANITIZE=thread -DKARVIK_BENCH=OFF \
  -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build build/tsan -j "$jobs" --target karvik_pool_tests karvik_log_tests karvik_pipeline_tests
# TSan cannot follow threads started in a forked child; the fork tests run in the other builds.
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j "$jobs" \
  -R '^(ThreadPool|OrderedMap|OrderedTasks|LogTest|PipelineTest)' -E 'Fork|SameBytesForOneThreadAndMany'

# The core and its C++ tests cross-built for 32-bit ARM hard-float, run under qemu-user.
cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake -DCMAKE_BUILD_TYPE=Release \
  -DKARVIK_PYTHON=OFF -DKARVIK_BENCH=OFF >/dev/null
cmake --build build/armhf -j "$jobs"
ctest --test-dir build/armhf --output-on-failure -j "$jobs"

# A few seconds of each fuzz target, seeded with the samples.
bash scripts/fuzz.sh 5
