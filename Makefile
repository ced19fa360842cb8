# A thin wrapper: the build lives in CMakeLists.txt, the checks in the test files.
PYTHON := /usr/bin/python3
PYTEST := $(PYTHON) -m pytest -q -p no:cacheprovider
export PYTHONDONTWRITEBYTECODE := 1
# Seconds each fuzz target runs: briefly in make test, for longer in make fuzz.
FUZZ_TEST_SECONDS ?= 20
FUZZ_SECONDS ?= 300

.PHONY: setup build test test-cpp test-python test-shipping test-stubs test-other-pythons test-sanitize test-fuzz fuzz stress demo bench clean

setup:
	@tools/setup.sh

build: setup
	cmake --preset release >/dev/null
	cmake --build --preset release

test: build test-cpp test-python test-shipping test-stubs test-other-pythons test-sanitize test-fuzz

test-cpp: build
	ctest --preset release

test-python: build
	PYTHONPATH=$(CURDIR) $(PYTEST) tests/python

# rsyslog and syslog-ng carry the dated files host to collector on loopback; lnav reads them.
test-shipping: build
	tools/setup_syslog_ng.sh build/engines/syslog-ng
	PYTHONPATH=$(CURDIR) $(PYTEST) tests/shipping

test-stubs: build
	PYTHONPATH=$(CURDIR) $(PYTHON) -m mypy.stubtest tarnwick._logger

test-other-pythons: build
	tools/other_pythons.sh

# AddressSanitizer+UBSan over the core tests and the whole pytest suite, ThreadSanitizer over the core tests.
test-sanitize: setup
	tools/sanitize.sh

# The load and backpressure tests at full size (test-python runs them smaller).
stress: build
	TARNWICK_STRESS=full PYTHONPATH=$(CURDIR) $(PYTEST) --durations=0 -m stress tests/python

# libFuzzer (clang, ASan+UBSan) over escaping, dated file names and the number appenders; any finding fails.
test-fuzz: setup
	tools/fuzz.sh $(FUZZ_TEST_SECONDS)

fuzz: setup
	tools/fuzz.sh $(FUZZ_SECONDS)

demo: build
	PYTHONPATH=$(CURDIR) $(PYTHON) examples/demo.py

bench:
	@tools/setup.sh bench
	cmake --preset release >/dev/null
	cmake --build --preset release
	PYTHONPATH=$(CURDIR) $(PYTHON) bench/compare.py

clean:
	rm -rf build tarnwick/_logger*.so
