#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang 16 (AddressSanitizer and
# UndefinedBehaviorSanitizer), replays the committed regression inputs, then fuzzes each
# target for a while, one process at a time.
#
#   scripts/fuzz.sh VENV SECONDS_PER_TARGET [TARGET...]
#
# Targets: the STL front end's raw, lenient, ascii and binary (fuzz_stl_*), and the readers
# of the indexed formats off, obj and ply (fuzz_*). Seeds are generated into the build
# directory, and the real files beside the project (../shared/data/stl and
# ../shared/data/meshes) are read from there; the growing corpus stays in the build directory
# too, so a later run goes on where the last one stopped. Any crash, leak, timeout or
# sanitizer report fails the run and leaves the input in the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$(realpath "${1:-.venv}")
seconds=${2:-60}
shift 2 || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(raw lenient ascii binary off obj ply)
build=${FUZZ_BUILD:-build/fuzz}
real=../shared/data/stl
real_meshes=../shared/data/meshes

# The binary of a target: fuzz_stl_MODE for the STL front end, fuzz_FORMAT for the others.
binary_name() {
  case "$1" in off | obj | ply) echo "fuzz_$1" ;; *) echo "fuzz_stl_$1" ;; esac
}

export PATH="$venv/bin:$PATH"
CC=${FUZZ_CC:-clang-16} CXX=${FUZZ_CXX:-clang++-16} cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVERTISIFT_FUZZ=ON -DPython_EXECUTABLE="$venv/bin/python" > /dev/null
names=()
for target in "${targets[@]}"; do names+=("$(binary_name "$target")"); done
cmake --build "$build" -j "${JOBS:-2}" --target "${names[@]}"

rm -rf "$build/seeds"
if [ -d "$real" ]; then
  "$venv/bin/python" tests/fuzz/make_seeds.py "$build/seeds" "$real"
else
  "$venv/bin/python" tests/fuzz/make_seeds.py "$build/seeds"
fi
for format in off obj ply; do
  "$venv/bin/python" "tests/fuzz/${format}_seeds.py" "$build/seeds/$format" > /dev/null
done

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for target in "${targets[@]}"; do
  name=$(binary_name "$target")
  binary="$build/tests/fuzz/$name"
  # Inputs that once failed: each must now pass on its own.
  regressions=(tests/fuzz/regressions/"$target"/*)
  if [ -e "${regressions[0]}" ]; then
    echo "== $name: ${#regressions[@]} regression inputs"
    "$binary" -runs=1 "${regressions[@]}" > "$build/regressions-$target.log" 2>&1 ||
      { cat "$build/regressions-$target.log"; exit 1; }
  fi
  corpus="$build/corpus/$target"
  mkdir -p "$corpus" "$build/artifacts/$target"
  extra=("$build/seeds/$target")
  case "$target" in
    raw | lenient) [ -d "$real" ] && extra+=("$real") ;;
    off | obj | ply) [ -d "$real_meshes" ] && extra+=("$real_meshes") ;;
  esac
  echo "== $name: ${seconds}s"
  log="$build/fuzz-$target.log"
  if ! "$binary" "$corpus" "${extra[@]}" -max_total_time="$seconds" -max_len=20000 \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target/" > "$log" 2>&1; then
    tail -n 60 "$log"
    echo "$name failed; the input is in $build/artifacts/$target/" >&2
    exit 1
  fi
  grep -E "^#[0-9]+.*(INITED|DONE)" "$log" | tail -n 2
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$log"
done
