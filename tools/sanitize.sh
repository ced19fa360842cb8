#!/usr/bin/env bash
# AddressSanitizer+UBSan over the core tests and the pytest suite, then over the module built against
# CPython 3.14 (where template strings exist) with the suites of the paths only 3.14 takes;
# ThreadSanitizer over the core tests.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-$(command -v python3)}
venv=$(tools/venv.sh "$python" main)

# The interpreter itself is not instrumented: preload the runtime. Every process writes its
# sanitizer reports into one directory; leaks there do not fail a process (the interpreter keeps
# some objects at exit), leak_check.py fails the run on any leak that passes through our code.
asan_lib=$(g++ -print-file-name=libasan.so)
ubsan_lib=$(g++ -print-file-name=libubsan.so)

# asan_pytest BUILD_DIR VENV_PYTHON PYTEST_ARGS...: the suite against BUILD_DIR's package.
asan_pytest() {
    local build=$1 venv=$2 status=0
    shift 2
    local reports=$PWD/$build/reports
    rm -rf "$reports" && mkdir -p "$reports"
    LD_PRELOAD="$asan_lib $ubsan_lib" \
    ASAN_OPTIONS=detect_leaks=1:exitcode=0:abort_on_error=1:log_path=$reports/asan \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc \
    PYTHONPATH=$build/pkg "$venv" -P -m pytest -q -p no:cacheprovider -x "$@" || status=$?
    if [ "$status" -ne 0 ]; then
        grep -l -E "ERROR: AddressSanitizer|runtime error" "$reports"/* | xargs -r cat  # the failing process's report
        exit "$status"
    fi
    "$python" tools/leak_check.py "$reports"
}

cmake --preset asan -DPython_EXECUTABLE="$python" >/dev/null
cmake --build --preset asan
ctest --preset asan
asan_pytest build/asan "$venv" -m "not wheel" tests/python

# The same flags against 3.14, the module alone: the core tests above do not depend on the interpreter.
py314=$(tools/build_cpython.sh gil)
if [ -n "$py314" ]; then
    cmake -S . -B build/asan-3.14 -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE="$py314" \
          -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
          -DTARNWICK_WERROR=ON -DTARNWICK_TESTS=OFF -DTARNWICK_BENCH=OFF >/dev/null
    cmake --build build/asan-3.14
    asan_pytest build/asan-3.14 "$(tools/venv.sh "$py314" 3.14)" -m "not wheel and not stress" \
        tests/python/test_templates.py tests/python/test_context.py tests/python/test_messages.py \
        tests/python/test_records.py
else
    echo "sanitize: no CPython 3.14 found; its run is skipped" >&2
fi

cmake --preset tsan -DPython_EXECUTABLE="$python" >/dev/null
cmake --build --preset tsan
ctest --preset tsan
