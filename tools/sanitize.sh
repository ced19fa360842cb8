#!/usr/bin/env bash
# AddressSanitizer+UBSan over the core tests and the pytest suite; ThreadSanitizer over the core tests.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-$(command -v python3)}
venv=$(tools/venv.sh "$python" main)

cmake --preset asan -DPython_EXECUTABLE="$python" >/dev/null
cmake --build --preset asan
ctest --preset asan
# The interpreter itself is not instrumented: preload the runtime. Every process writes its
# sanitizer reports into one directory; leaks there do not fail a process (the interpreter keeps
# some objects at exit), leak_check.py fails the run on any leak that passes through our code.
asan_lib=$(g++ -print-file-name=libasan.so)
ubsan_lib=$(g++ -print-file-name=libubsan.so)
reports=$PWD/build/asan/reports
rm -rf "$reports" && mkdir -p "$reports"
status=0
LD_PRELOAD="$asan_lib $ubsan_lib" \
ASAN_OPTIONS=detect_leaks=1:exitcode=0:abort_on_error=1:log_path=$reports/asan \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc \
PYTHONPATH=build/asan/pkg "$venv" -P -m pytest -q -p no:cacheprovider -x -m "not wheel" tests/python || status=$?
if [ "$status" -ne 0 ]; then
    grep -l -E "ERROR: AddressSanitizer|runtime error" "$reports"/* | xargs -r cat  # the failing process's report
    exit "$status"
fi
"$python" tools/leak_check.py "$reports"

cmake --preset tsan -DPython_EXECUTABLE="$python" >/dev/null
cmake --build --preset tsan
ctest --preset tsan
