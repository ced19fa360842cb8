#!/usr/bin/env bash
# Builds the module against one interpreter, out of the source tree, and runs the pytest suite with
# that interpreter in its own virtual environment.
# Usage: tools/test_interpreter.sh PYTHON NAME [PYTHON-OPTIONS --] [PYTEST-ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
python=$1 name=$2
shift 2
python_options=()
if [[ " $* " == *" -- "* ]]; then
    while [[ $1 != -- ]]; do python_options+=("$1"); shift; done
    shift
fi
dir=build/py-$name
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$python" \
      -DTARNWICK_TESTS=OFF -DTARNWICK_PROBE=ON -DTARNWICK_BENCH=OFF -DTARNWICK_WERROR=ON >/dev/null
cmake --build "$dir"
venv=$(tools/venv.sh "$python" "$name")
echo "== pytest on $("$venv" -c 'import sys; print(sys.version.split()[0], "free-threaded" if hasattr(sys, "_is_gil_enabled") and not sys._is_gil_enabled() else "")')"
# -P: the source tree must not shadow the package built for this interpreter.
PYTHONPATH=$PWD/$dir/pkg "$venv" -P "${python_options[@]}" -m pytest -q -p no:cacheprovider "$@" tests/python
