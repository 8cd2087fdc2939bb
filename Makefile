# Two entry points: `make demo` (set up, build, reduce an example mesh) and `make test`
# (set up, build, run every test). Everything else is a step of those two.
SHELL := /bin/bash
VENV ?= .venv
PYTHON := $(VENV)/bin/python
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: demo test lint venv install gtest pytest cpptest test-asan test-tsan fuzz-tools fuzz fuzz-check \
	bench clean wheel test-wheel bench-batch bench-calls bench-sample bench-even preview clang-format-tool format format-check cpp-warnings \
	mutants mutants-report

demo: install
	$(PYTHON) scripts/demo.py

test: install gtest
	$(MAKE) pytest cpptest

venv: $(VENV)/.ready

$(VENV)/.ready: requirements-dev.txt
	bash scripts/make-venv.sh $(VENV)
	$(PYTHON) -m pip install --quiet -r requirements-dev.txt
	touch $@

install: venv
	$(PYTHON) -m pip install --quiet --no-build-isolation .

# GoogleTest comes from the system's packages when it is missing.
gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  echo "installing libgtest-dev"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; \
	fi

pytest:
	cd tests && ../$(PYTHON) -m pytest -q -rs

cpptest: venv gtest
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(BUILD)/cpp -G Ninja \
	  -DVERTISIFT_BUILD_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PYTHON)) > /dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(BUILD)/cpp -j $(JOBS)
	cd $(BUILD)/cpp && PATH="$(abspath $(VENV))/bin:$$PATH" ctest --output-on-failure -j $(JOBS)

# The extension and the C++ tests built with every warning an error (-Wall -Wextra
# -Wconversion -Wsign-conversion and -Werror); the normal builds warn but never fail on one.
cpp-warnings: venv gtest
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(BUILD)/werror -G Ninja \
	  -DVERTISIFT_BUILD_TESTS=ON -DVERTISIFT_WERROR=ON -DPython_EXECUTABLE=$(abspath $(PYTHON)) > /dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(BUILD)/werror -j $(JOBS)

# The C++ sources against .clang-format: `make format` rewrites them, `make format-check`
# fails on any difference. clang-format comes from the system's packages when missing.
CXX_SOURCES = git ls-files 'src/*.h' 'src/*.cpp' 'tests/cpp/*.cpp' 'tests/fuzz/*.cpp'
clang-format-tool:
	@if ! command -v clang-format > /dev/null; then \
	  echo "installing clang-format"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-format; \
	fi

format: clang-format-tool
	$(CXX_SOURCES) | xargs clang-format -i

format-check: clang-format-tool
	$(CXX_SOURCES) | xargs clang-format --dry-run -Werror

# Lint and format checks of the Python code (the package, the tests, the benchmarks, the
# documentation's scripts and scripts/), and a strict type check of the package (against the
# installed extension's stubs). The tools come from requirements-dev.txt.
LINTED := python tests bench docs scripts

lint: install
	$(VENV)/bin/ruff check $(LINTED)
	$(VENV)/bin/ruff format --check python
	$(VENV)/bin/mypy python/vertisift_tools

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer, and the pytest
# suite run against it. Any sanitizer report aborts the run.
test-asan: venv
	bash scripts/test-sanitized.sh $(VENV) $(BUILD)/asan

# The benchmark against other STL readers (bench/run.py --help). The full run writes
# bench/results/; narrower runs, e.g.
#   make bench BENCH_ARGS="--sizes 2m --tools vertisift,pyvista-stl --runs 3 --real none"
# write bench/scratch/ unless given --out.
BENCH_ARGS ?= --out bench/results

bench: install $(VENV)/.bench-ready
	$(PYTHON) -m pytest -q -p no:dash bench  # dash: a pytest plugin that Open3D brings along
	$(PYTHON) bench/run.py $(BENCH_ARGS)

$(VENV)/.bench-ready: bench/requirements.txt bench/setup.sh $(VENV)/.ready
	bash bench/setup.sh $(PYTHON)
	touch $@

# The pool, the sharded map and the whole driver (without Python) under ThreadSanitizer, the
# driver once per pool size. Any report fails the run.
test-tsan: venv gtest
	bash scripts/test-tsan.sh $(VENV) $(BUILD)/tsan

# libFuzzer targets over the readers: clang 16 and its runtime come from the system's packages
# when missing. `make fuzz` runs every target (the fast in-memory ones and the end-to-end ones)
# for FUZZ_SECONDS each (default 10 minutes); `make fuzz-check` replays the regression inputs
# and fuzzes each fast target for a minute. FUZZ_TARGETS picks targets (scripts/fuzz.sh).
FUZZ_SECONDS ?= 600
fuzz-tools:
	@if [ ! -x /usr/bin/clang++-16 ] || [ ! -d /usr/lib/llvm-16/lib/clang/16/lib/linux ]; then \
	  echo "installing clang-16 and libclang-rt-16-dev"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-16 libclang-rt-16-dev; \
	fi

FUZZ_TARGETS ?= all
fuzz: venv fuzz-tools
	bash scripts/fuzz.sh $(VENV) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-check: venv fuzz-tools
	bash scripts/fuzz.sh $(VENV) 60 fast

# Mutation testing over src/ and python/ (tests/mutation/README.md): MUTANTS_PER_FILE
# compiling mutants per file, in an order fixed by MUTANTS_SEED, each tried in build/mutants
# against the tests that exercise it; keeps the outcomes per folder in tests/mutation/results/
# and writes tests/mutation/report.md. MUTANTS_ARGS="--only ^python/" for the package alone.
# Too slow for CI.
MUTANTS_PER_FILE ?= 10
MUTANTS_SEED ?= 1
mutants: venv gtest $(VENV)/.mutants-ready
	$(PYTHON) scripts/mutants.py --per-file $(MUTANTS_PER_FILE) --seed $(MUTANTS_SEED) \
	  --jobs $(JOBS) $(MUTANTS_ARGS)

# The report again from the kept results, after verdicts were added to tests/mutation/marks.txt.
mutants-report: venv
	$(PYTHON) scripts/mutants.py --report-only

# The tool's dependencies bring the old `typing` backport, which shadows the standard
# library's module in child interpreters whose path starts with site-packages (the tests'
# run_python): it goes again at once.
$(VENV)/.mutants-ready: tests/mutation/requirements.txt $(VENV)/.ready
	$(PYTHON) -m pip install --quiet -r tests/mutation/requirements.txt
	$(PYTHON) -m pip uninstall --quiet --yes typing
	touch $@

clean:
	rm -rf $(BUILD) dist wheelhouse $(VENV)-wheel

# The release wheel: sdist and wheel built by `python -m build` (the wheel from the sdist, in
# an isolated environment), then repaired by auditwheel to a manylinux tag in wheelhouse/.
wheel: venv
	rm -rf dist wheelhouse
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PYTHON) -m build --outdir dist .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PYTHON) -m auditwheel repair --wheel-dir wheelhouse dist/*.whl

# The test suite against that wheel alone, installed with its extras into a clean virtual
# environment (no source tree on the module path).
test-wheel: wheel
	rm -rf $(VENV)-wheel
	bash scripts/make-venv.sh $(VENV)-wheel
	$(VENV)-wheel/bin/python -m pip install --quiet "$$(ls wheelhouse/vertisift-*.whl)[all,test]"
	cd tests && ../$(VENV)-wheel/bin/python -c 'import sys, sysconfig, vertisift, vertisift_tools; \
	  where = sysconfig.get_paths()["platlib"]; \
	  assert all(m.__file__.startswith(where) for m in (vertisift, vertisift_tools)), where'
	cd tests && ../$(VENV)-wheel/bin/python -m pytest -q -p no:cacheprovider

# Repeated calls in one process against pyvista-stl's and openstl's reads, the first call of a
# fresh process apart, and two Python threads sampling at once (bench/calls_bench.py); writes
# bench/results/calls.md.
bench-calls: install $(VENV)/.bench-ready
	$(PYTHON) bench/calls_bench.py --out bench/results

# Point samples beside other libraries' sampling pipelines, Python threads sampling at once,
# and the dataset path (bench/sample_bench.py); writes bench/results/sample.md.
bench-sample: install $(VENV)/.bench-ready
	$(PYTHON) bench/sample_bench.py

# Farthest-point and Poisson-disk samples beside fpsample, Open3D and point-cloud-utils: their
# speed and how evenly their points spread (bench/even_bench.py); writes bench/results/even.md.
bench-even: install $(VENV)/.bench-ready
	$(PYTHON) bench/even_bench.py --out bench/results/even.md

# Files per second of `vertisift batch`, with one worker and with one per processor.
bench-batch: install
	$(PYTHON) bench/batch_bench.py

# The README's picture: an example torus reduced and drawn by the command-line tool.
preview: install
	$(PYTHON) docs/make_preview.py docs/preview.png
