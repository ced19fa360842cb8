#!/usr/bin/env bash
# AddressSanitizer+UBSan over the core tests and the pytest suite; ThreadSanitizer over the core tests.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan
# The interpreter itself is not instrumented: preload the runtime, and ignore its leaks at exit.
asan_lib=$(g++ -print-file-name=libasan.so)
ubsan_lib=$(g++ -print-file-name=libubsan.so)
LD_PRELOAD="$asan_lib $ubsan_lib" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc \
PYTHONPATH=build/asan/pkg /usr/bin/python3 -P -m pytest -q -p no:cacheprovider -x tests/python

cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan
