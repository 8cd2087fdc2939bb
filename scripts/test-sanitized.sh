#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer and runs the
# pytest suite against that build, with the sanitizer runtime preloaded into the interpreter.
# Leak detection is off: the interpreter itself keeps memory until exit.
set -euo pipefail
venv=$(realpath "${1:-.venv}")
build=${2:-build/asan}
shift $(( $# < 2 ? $# : 2 ))
export PATH="$venv/bin:$PATH"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVERTISIFT_SANITIZE=ON \
  -DPython_EXECUTABLE="$venv/bin/python" > /dev/null
cmake --build "$build" --target vertisift -j "$(nproc)"
build=$(realpath "$build")
asan=$(g++ -print-file-name=libasan.so)
# The C++ runtime is preloaded too: the sanitizer looks up the runtime's exception throw when
# it starts, and an interpreter that loads the runtime only with the extension would leave it
# unresolved, ending the process at the extension's first C++ exception.
cxxrt=$(realpath "$(g++ -print-file-name=libstdc++.so)")
cd tests
LD_PRELOAD="$asan $cxxrt" \
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1:halt_on_error=1} \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
VERTISIFT_TEST_BUILD="$build" PYTHONPATH="$build" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
