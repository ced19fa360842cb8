#!/usr/bin/env bash
# Makes (once) a virtual environment for one interpreter under build/venv/, with the pinned test
# tools from PyPI, and prints its python. Re-made when the interpreter or the requirements change.
# Usage: tools/venv.sh PYTHON NAME [REQUIREMENTS]
set -euo pipefail
cd "$(dirname "$0")/.."
python=$1
dir=build/venv/$2
requirements=${3:-requirements/test.txt}
stamp=$dir/.made-from
wanted="$(readlink -f "$(command -v "$python")")
$(cat "$requirements")"
if [[ ! -x $dir/bin/python || "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]]; then
    echo "tarnwick: making $dir ($("$python" -c 'import sys; print(sys.version.split()[0])'))" >&2
    rm -rf "$dir"
    "$python" -m venv "$dir"
    log=$dir/pip.log
    "$dir/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements" >"$log" 2>&1 ||
        { cat "$log" >&2; exit 1; }
    printf '%s' "$wanted" >"$stamp"
fi
echo "$PWD/$dir/bin/python"
