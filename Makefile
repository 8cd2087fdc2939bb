# Two entry points: `make demo` (set up, build, reduce an example mesh) and `make test`
# (set up, build, run every test). Everything else is a step of those two.
SHELL := /bin/bash
VENV ?= .venv
PYTHON := $(VENV)/bin/python
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: demo test venv install gtest pytest cpptest test-asan test-tsan fuzz-tools fuzz fuzz-check bench clean

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

# The pool, the sharded map and the whole driver (without Python) under ThreadSanitizer, the
# driver once per pool size. Any report fails the run.
test-tsan: venv gtest
	bash scripts/test-tsan.sh $(VENV) $(BUILD)/tsan

# libFuzzer targets over the STL front end: clang 16 and its runtime come from the system's
# packages when missing. `make fuzz` runs each target for FUZZ_SECONDS (default 10 minutes);
# `make fuzz-check` replays the regression inputs and fuzzes each target for a minute.
FUZZ_SECONDS ?= 600
fuzz-tools:
	@if [ ! -x /usr/bin/clang++-16 ] || [ ! -d /usr/lib/llvm-16/lib/clang/16/lib/linux ]; then \
	  echo "installing clang-16 and libclang-rt-16-dev"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-16 libclang-rt-16-dev; \
	fi

fuzz: venv fuzz-tools
	bash scripts/fuzz.sh $(VENV) $(FUZZ_SECONDS)

fuzz-check: venv fuzz-tools
	bash scripts/fuzz.sh $(VENV) 60

bench: install
	$(PYTHON) bench/run.py

clean:
	rm -rf $(BUILD) dist wheelhouse
