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

bench: install
	$(PYTHON) bench/run.py

clean:
	rm -rf $(BUILD) dist wheelhouse
