#!/usr/bin/env bash
# Builds the extension and the tools' native module with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the pytest suite against that build (the package's Python
# code copied beside its native module), with the sanitizer runtime preloaded into the interpreter.
# Leak detection is off: the interpreter itself keeps memory until exit. Tests marked slow
# (a Dask cluster, the type checker) do not touch the extension's code paths any differently
# and are left to the normal run.
set -euo pipefail
venv=$(realpath "${1:-.venv}")
build=${2:-build/asan}
shift $(( $# < 2 ? $# : 2 ))   # the rest goes to pytest
export PATH="$venv/bin:$PATH"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVERTISIFT_SANITIZE=ON \
  -DPython_EXECUTABLE="$venv/bin/python" > /dev/null
cmake --build "$build" --target vertisift vertisift_tools_native -j "${JOBS:-2}"
build=$(realpath "$build")
rm -rf "$build/package" && mkdir -p "$build/package"
cp -r python/vertisift_tools "$build/package/"
cp "$build"/_native.*.so "$build/package/vertisift_tools/"
asan=$(g++ -print-file-name=libasan.so)
# ASan intercepts __cxa_throw and can call the real one only when the C++ runtime is loaded
# at start-up with it; otherwise the first C++ exception in any extension module aborts.
asan="$asan $(g++ -print-file-name=libstdc++.so)"
cd tests
LD_PRELOAD="$asan" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
VERTISIFT_TEST_BUILD="$build" PYTHONPATH="$build:$build/package" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider -m "not slow" "$@"
