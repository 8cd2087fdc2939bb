#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang 16 (AddressSanitizer and
# UndefinedBehaviorSanitizer), replays the committed regression inputs, then fuzzes each
# target for a while, one process at a time.
#
#   [FUZZ_RUNS=N] scripts/fuzz.sh VENV SECONDS_PER_TARGET [TARGET... | fast | all]
#
# The fast targets read the bytes in memory on the calling thread: the STL readers
# (stl-strict, stl-lenient, stl-ascii, stl-binary) and the readers of the indexed formats
# (off, obj, ply), glTF (gltf) and the ray tree against the brute force (rays). The end-to-end targets (raw, lenient, ascii, binary) write each input to a
# memory file and read it by path, in blocks and through the whole driver, which is far
# slower. "fast" names the first nine, "all" (the default) every target. Every run replays
# the regression inputs of every target built, whichever it fuzzes.
#
# Seeds are generated into the build directory, and the real files beside the project
# (../shared/data/stl and ../shared/data/meshes) are read from there; the text formats get a
# dictionary of their words (tests/fuzz/dictionaries). The growing corpus stays in the build
# directory, so a later run goes on where the last one stopped. Any crash, leak, timeout or
# sanitizer report fails the run and leaves the input in the build directory; an input that
# found a fault, once mended, goes into tests/fuzz/regressions/TWIN/, where TWIN is the
# end-to-end mode of an STL target (stl-strict: raw) or the format.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$(realpath "${1:-.venv}")
seconds=${2:-60}
shift 2 || true
fast=(stl-strict stl-lenient stl-ascii stl-binary off obj ply gltf rays)
end_to_end=(raw lenient ascii binary)
case "${1:-all}" in
  fast) targets=("${fast[@]}") ;;
  all) targets=("${fast[@]}" "${end_to_end[@]}") ;;
  *) targets=("$@") ;;
esac
build=${FUZZ_BUILD:-build/fuzz}
real=../shared/data/stl
real_meshes=../shared/data/meshes

# The binary of a target.
binary_name() {
  case "$1" in
    stl-*) echo "fuzz_fast_stl_${1#stl-}" ;;
    off | obj | ply | gltf | rays) echo "fuzz_$1" ;;
    *) echo "fuzz_stl_$1" ;;
  esac
}
# The folder of seeds and regression inputs a target shares with its twin: the inputs of
# stl-strict and raw, stl-ascii and ascii, ... have the same form.
twin() {
  case "$1" in
    stl-strict) echo raw ;;
    stl-*) echo "${1#stl-}" ;;
    *) echo "$1" ;;
  esac
}
dictionary() {
  case "$1" in
    stl-binary | binary | rays) ;;
    stl-* | raw | lenient | ascii) echo "tests/fuzz/dictionaries/stl.dict" ;;
    *) echo "tests/fuzz/dictionaries/$1.dict" ;;
  esac
}

export PATH="$venv/bin:$PATH"
CC=${FUZZ_CC:-clang-16} CXX=${FUZZ_CXX:-clang++-16} cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVERTISIFT_FUZZ=ON -DPython_EXECUTABLE="$venv/bin/python" > /dev/null
names=()
for target in "${fast[@]}" "${end_to_end[@]}"; do names+=("$(binary_name "$target")"); done
cmake --build "$build" -j "${JOBS:-2}" --target "${names[@]}"

rm -rf "$build/seeds"
if [ -d "$real" ]; then
  "$venv/bin/python" tests/fuzz/make_seeds.py "$build/seeds" "$real"
else
  "$venv/bin/python" tests/fuzz/make_seeds.py "$build/seeds"
fi
for format in off obj ply gltf; do
  "$venv/bin/python" "tests/fuzz/${format}_seeds.py" "$build/seeds/$format" > /dev/null
done
mkdir -p "$build/seeds/rays"  # the ray target starts from nothing: every input is a mesh

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Inputs that once failed: each must now pass on its own, through every target of its form.
for target in "${fast[@]}" "${end_to_end[@]}"; do
  regressions=(tests/fuzz/regressions/"$(twin "$target")"/*)
  [ -e "${regressions[0]}" ] || continue
  name=$(binary_name "$target")
  echo "== $name: ${#regressions[@]} regression inputs"
  "$build/tests/fuzz/$name" -runs=1 "${regressions[@]}" > "$build/regressions-$target.log" 2>&1 ||
    { cat "$build/regressions-$target.log"; exit 1; }
done
for target in "${targets[@]}"; do
  name=$(binary_name "$target")
  binary="$build/tests/fuzz/$name"
  corpus="$build/corpus/$target"
  mkdir -p "$corpus" "$build/artifacts/$target"
  extra=("$build/seeds/$(twin "$target")")
  case "$(twin "$target")" in
    raw | lenient) [ -d "$real" ] && extra+=("$real") ;;
    off | obj | ply) [ -d "$real_meshes" ] && extra+=("$real_meshes") ;;
  esac
  # The fast targets cut their inputs into pieces, so small inputs reach every boundary of
  # the readers' buffers; the end-to-end ones need files longer than a block.
  max_len=4096
  case "$target" in raw | lenient | ascii | binary) max_len=20000 ;; gltf) max_len=65536 ;; esac
  words=()
  dict=$(dictionary "$target")
  [ -n "$dict" ] && words=("-dict=$dict")
  echo "== $name: ${seconds}s"
  log="$build/fuzz-$target.log"
  # FUZZ_RUNS, when set, ends a target after that many inputs (or SECONDS, if sooner).
  runs=()
  [ -n "${FUZZ_RUNS:-}" ] && runs=("-runs=$FUZZ_RUNS")
  if ! "$binary" "$corpus" "${extra[@]}" "${words[@]}" "${runs[@]}" -max_total_time="$seconds" \
      -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target/" > "$log" 2>&1; then
    tail -n 60 "$log"
    echo "$name failed; the input is in $build/artifacts/$target/" >&2
    exit 1
  fi
  grep -E "^#[0-9]+.*(INITED|DONE)" "$log" | tail -n 2 || true
  grep -E "stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb" "$log"
done
