# A thin wrapper: the build lives in CMakeLists.txt, the checks in the test files and tools/.
# PYTHON chooses the interpreter of the main build and suite (default: python3 on the PATH).
PYTHON ?= python3
PYTHON_EXE := $(shell $(PYTHON) -c "import sys; print(sys.executable)")
VENV := build/venv/main/bin/python
PYTEST := $(VENV) -P -m pytest -q -p no:cacheprovider
export PYTHONDONTWRITEBYTECODE := 1
# A tree configured for another interpreter is configured afresh: FindPython would keep paths of the old one.
CONFIGURED_PYTHON = $(shell sed -n 's/^Python_EXECUTABLE:[A-Z]*=//p' build/release/CMakeCache.txt 2>/dev/null)
# $(call configure,PRESET): release is the module alone; check adds the GoogleTest suite, bench the
# micro-benchmarks, all in one tree.
configure = cmake --preset $(1) $(if $(filter-out $(PYTHON_EXE),$(CONFIGURED_PYTHON)),--fresh) \
            -DPython_EXECUTABLE=$(PYTHON_EXE)
# Seconds each fuzz target runs: briefly in make test, for longer in make fuzz.
FUZZ_TEST_SECONDS ?= 20
FUZZ_SECONDS ?= 300

.PHONY: setup setup-check setup-test build build-check venv check test wheels test-clock-fallback test-cpp test-python test-stubs test-wheel \
        test-314 test-other-pythons test-sanitize test-fuzz test-shipping fuzz stress demo bench bench-compress bench-parallel clean

setup:
	@PYTHON=$(PYTHON_EXE) tools/setup.sh build

setup-check:
	@PYTHON=$(PYTHON_EXE) tools/setup.sh check

setup-test:
	@PYTHON=$(PYTHON_EXE) tools/setup.sh test

build: setup
	$(call configure,release)
	cmake --build --preset release

build-check: setup-check
	$(call configure,check)
	cmake --build --preset check

venv: setup-check
	@tools/venv.sh $(PYTHON_EXE) main >/dev/null

# The edit loop: the C++ tests and the pytest suite (without the load tests) on one interpreter.
check: build-check venv
	ctest --preset check
	PYTHONPATH=$(CURDIR) $(PYTEST) -m "not stress and not wheel" tests/python

# Everything CI runs.
test: setup-test check test-clock-fallback test-python test-stubs test-wheel test-314 test-other-pythons test-sanitize \
      test-fuzz test-shipping

# The suite again with record times from clock_gettime rather than the time-stamp counter.
test-clock-fallback: build venv
	TARNWICK_CLOCK=clock_gettime PYTHONPATH=$(CURDIR) $(PYTEST) -m "not stress and not wheel" tests/python

test-cpp: build-check
	ctest --preset check

# The load tests at reduced size (check runs the rest).
test-python: build venv
	PYTHONPATH=$(CURDIR) $(PYTEST) -m stress tests/python

test-stubs: build venv
	PYTHONPATH=$(CURDIR) $(VENV) -P -m mypy.stubtest tarnwick._logger tarnwick._context

# A wheel built with scikit-build-core from PyPI, installed into a fresh environment and used; then the
# sdist and one repaired wheel for this interpreter, installed and tested as a user gets them.
test-wheel: build venv setup-test
	PYTHONPATH=$(CURDIR) $(PYTEST) -m wheel tests/python
	tools/wheels.sh $(PYTHON_EXE)

# The sdist and one repaired manylinux wheel for each CPython found (3.11-3.14, 3.14t) in dist/.
wheels:
	@PYTHON=$(PYTHON_EXE) tools/setup.sh wheels
	tools/wheels.sh

# The whole suite on CPython 3.14 and on free-threaded 3.14t (built once per machine), where
# every warning is an error.
test-314: setup-test
	@py=$$(tools/build_cpython.sh gil); if [ -n "$$py" ]; then tools/test_interpreter.sh $$py 3.14; fi
	@py=$$(tools/build_cpython.sh ft); if [ -n "$$py" ]; then tools/test_interpreter.sh $$py 3.14t -W error --; fi

test-other-pythons: setup
	PYTHON=$(PYTHON_EXE) tools/other_pythons.sh

# AddressSanitizer+UBSan over the core tests and the whole pytest suite, then over the module built against
# CPython 3.14 with its template, context, message and record suites; ThreadSanitizer over the core tests.
test-sanitize: setup-test venv
	PYTHON=$(PYTHON_EXE) tools/sanitize.sh

# libFuzzer (clang, ASan+UBSan) over escaping, dated file names and the number appenders; any finding fails.
test-fuzz: setup-test
	tools/fuzz.sh $(FUZZ_TEST_SECONDS)

# rsyslog and syslog-ng carry the dated files host to collector on loopback; lnav reads them.
test-shipping: setup-test build venv
	tools/setup_syslog_ng.sh build/engines/syslog-ng
	PYTHONPATH=$(CURDIR) $(PYTEST) tests/shipping

fuzz: setup-test
	tools/fuzz.sh $(FUZZ_SECONDS)

# The load and backpressure tests at full size (make test runs them smaller).
stress: build venv
	TARNWICK_STRESS=full PYTHONPATH=$(CURDIR) $(PYTEST) --durations=0 -m stress tests/python

demo: build
	PYTHONPATH=$(CURDIR) $(PYTHON_EXE) examples/demo.py

# The peers come pinned from requirements/bench.txt into build/venv/bench, on the same interpreter.
# BENCH_BASELINE=DIR times another build's package directory (say the main branch's
# build/release/pkg) beside this one; BENCH_ARGS passes more options (say --quick).
# The template and trace rows run on CPython 3.14 (built once per machine; its own build and peers'
# environment) and the free-threaded row on 3.14t, in the same run.
BENCH_BASELINE ?=
BENCH_ARGS ?=
bench:
	@PYTHON=$(PYTHON_EXE) tools/setup.sh bench
	$(call configure,bench)
	cmake --build --preset bench
	@py=$$(tools/venv.sh $(PYTHON_EXE) bench requirements/bench.txt) && args="" && \
	py314=$$(tools/build_cpython.sh gil) && if [ -n "$$py314" ]; then \
	  cmake -S . -B build/bench-3.14 -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$$py314 \
	        -DTARNWICK_TESTS=OFF -DTARNWICK_BENCH=ON >/dev/null && \
	  cmake --build build/bench-3.14 --target _logger _bench_floor && \
	  args="$$args --py314 $$(tools/venv.sh $$py314 bench-3.14 requirements/bench.txt)"; fi && \
	py314t=$$(tools/build_cpython.sh ft) && if [ -n "$$py314t" ]; then \
	  cmake -S . -B build/bench-3.14t -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$$py314t \
	        -DTARNWICK_TESTS=OFF >/dev/null && cmake --build build/bench-3.14t && \
	  args="$$args --py314t $$py314t"; fi && \
	args="$$args $(if $(BENCH_BASELINE),--baseline $(BENCH_BASELINE)) $(BENCH_ARGS)" && \
	    echo "PYTHONPATH=$(CURDIR) $$py -P bench/compare.py$$args" && \
	    PYTHONPATH=$(CURDIR) $$py -P bench/compare.py $$args
	@$(MAKE) --no-print-directory bench-parallel

# Lines written while yesterday's 500 MB file is compressed in the background, next to none being compressed
# (the file is made on the disk under build/ and deleted afterwards).
bench-compress: build
	PYTHONPATH=$(CURDIR) $(PYTHON_EXE) -P bench/compress.py

# Threads in parallel on free-threaded 3.14t (built once per machine), next to stdlib logging.
bench-parallel:
	@PYTHON=$(PYTHON_EXE) tools/setup.sh bench
	@py=$$(tools/build_cpython.sh ft); if [ -n "$$py" ]; then \
	  cmake -S . -B build/bench-3.14t -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$$py \
	        -DTARNWICK_TESTS=OFF >/dev/null && cmake --build build/bench-3.14t && \
	  PYTHONPATH=$(CURDIR)/build/bench-3.14t/pkg $$py -P bench/parallel.py; fi

clean:
	rm -rf build dist tarnwick/_logger*.so
