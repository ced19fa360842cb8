#!/usr/bin/env bash
# Installs the system tools that building, testing and benchmarking need, from Debian's apt; Python
# packages come from PyPI into virtual environments instead (tools/venv.sh). Each tool is probed
# directly rather than asked of dpkg, so a machine without apt builds with what it has and is told
# what is missing. This file is the one place that names the Debian packages.
# Usage: tools/setup.sh build|check|test|wheels|bench   installs what that stage's targets configure
#        tools/setup.sh packages                        lists every package any stage can install
set -euo pipefail
cd "$(dirname "$0")/.."
stage=${1:-build}
PYTHON=${PYTHON:-python3}

header() { printf '#include <%s>\n' "$1" | ${CXX:-g++} -E -x c++ - >/dev/null 2>&1; }
python_header() {
    local include
    include=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])' 2>/dev/null) &&
        [[ -f $include/Python.h ]]
}
fuzzer_runtime() { [[ -f $(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null) ]]; }

# Groups of "package|probe that says it is there".
# The module alone: make build, make demo, pip install.
build=(
    "cmake|command -v cmake"
    "ninja-build|command -v ninja"
    "g++|command -v g++"
    "make|command -v make"
    "python3-dev|python_header"
    "zlib1g-dev|header zlib.h"
)
# The GoogleTest suite and the pytest environments: make check.
check=(
    "libgtest-dev|header gtest/gtest.h"
    "python3-venv|$PYTHON -c 'import ensurepip, venv'"
)
# What CPython 3.14 is built with (tools/build_cpython.sh).
cpython=(
    "pkg-config|command -v pkg-config"
    "libssl-dev|header openssl/ssl.h"
    "libffi-dev|header ffi.h"
    "libbz2-dev|header bzlib.h"
    "liblzma-dev|header lzma.h"
    "libsqlite3-dev|header sqlite3.h"
    "libreadline-dev|header readline/readline.h"
    "uuid-dev|header uuid/uuid.h"
)
# The fuzz targets (clang, libFuzzer) and the shipping tests.
test=(
    "faketime|command -v faketime"
    "clang|command -v clang++"
    "libclang-rt-dev|fuzzer_runtime"
    "rsyslog|command -v rsyslogd"
    # syslog-ng conflicts with rsyslog as a Debian package: tools/setup_syslog_ng.sh unpacks it
    "lnav|command -v lnav"
)
bench=(
    "libbenchmark-dev|header benchmark/benchmark.h"
    "valgrind|command -v valgrind"
)

case $stage in
    build)    probes=("${build[@]}") ;;
    check)    probes=("${build[@]}" "${check[@]}") ;;
    wheels)   probes=("${build[@]}" "${check[@]}" "${cpython[@]}") ;;
    test)     probes=("${build[@]}" "${check[@]}" "${cpython[@]}" "${test[@]}") ;;
    bench)    probes=("${build[@]}" "${check[@]}" "${cpython[@]}" "${bench[@]}") ;;
    packages) for entry in "${build[@]}" "${check[@]}" "${cpython[@]}" "${test[@]}" "${bench[@]}"; do
                  echo "${entry%%|*}"
              done
              exit 0 ;;
    *)        echo "usage: $0 build|check|test|wheels|bench|packages" >&2; exit 2 ;;
esac

missing=()
for entry in "${probes[@]}"; do
    eval "${entry#*|}" >/dev/null 2>&1 || missing+=("${entry%%|*}")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
    echo "tarnwick: installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    exit 0
fi
echo "tarnwick: missing (Debian package names): ${missing[*]}" >&2
echo "tarnwick: install them with: sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
[[ $stage == build ]] || exit 1  # a build goes on with what there is; cmake says what it lacks
