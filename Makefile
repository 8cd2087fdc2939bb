# Two entry points: `make demo` (set up, build, reduce an example mesh) and `make test`
# (set up, build, run every test). Everything else is a step of those two.
SHELL := /bin/bash
VENV ?= .venv
PYTHON := $(VENV)/bin/python
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: demo test venv install gtest pytest cpptest test-asan bench clean

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
	cd tests && ../$(PYTHON) -m pytest -q

cpptest: venv gtest
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(BUILD)/cpp -G Ninja \
	  -DVERTISIFT_BUILD_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PYTHON)) > /dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(BUILD)/cpp -j $(JOBS)
	cd $(BUILD)/cpp && PATH="$(abspath $(VENV))/bin:$$PATH" ctest --output-on-failure -j $(JOBS)

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer, and the pytest
# suite run against it. Any sanitizer report aborts the run.
test-asan: venv
	bash scripts/test-sanitized.sh $(VENV) $(BUILD)/asan

# The benchmark against other STL readers (bench/run.py --help). The full run writes
# bench/results/; narrower runs, e.g.
#   make bench BENCH_ARGS="--sizes 2m --tools vertisift,pyvista-stl --runs 3 --real none"
# write bench/work/ unless given --out.
BENCH_ARGS ?= --out bench/results

bench: install $(VENV)/.bench-ready
	$(PYTHON) -m pytest -q -p no:dash bench  # dash: a pytest plugin that Open3D brings along
	$(PYTHON) bench/run.py $(BENCH_ARGS)

$(VENV)/.bench-ready: bench/requirements.txt bench/setup.sh $(VENV)/.ready
	bash bench/setup.sh $(PYTHON)
	touch $@

clean:
	rm -rf $(BUILD) dist wheelhouse
