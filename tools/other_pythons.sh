#!/usr/bin/env bash
# Builds the module against every other CPython 3.11-3.14 on this machine and runs an
# import-and-log smoke test with each (standard library only).
set -euo pipefail
cd "$(dirname "$0")/.."

system=$(readlink -f "$(command -v "${PYTHON:-python3}")")
declare -A seen=(["$system"]=1)
found=()
for exe in $(compgen -c python3.1 | sort -u) /usr/bin/python3.1? "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3.1? \
           /usr/local/bin/python3.1? /opt/python*/bin/python3.1?; do
  path=$(command -v "$exe" 2>/dev/null || true)
  [[ -n "$path" && -x "$path" ]] || continue
  # pyenv shims run only a selected version; take the real interpreters instead.
  [[ "$path" == */shims/* ]] && continue
  real=$(readlink -f "$path")
  [[ -n "${seen[$real]:-}" ]] && continue
  seen[$real]=1
  ver=$("$real" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null) || continue
  case "$ver" in 3.11|3.12|3.13|3.14) found+=("$real");; esac
done

if [[ ${#found[@]} -eq 0 ]]; then
  echo "other interpreters: none found besides $system"
  exit 0
fi

for py in "${found[@]}"; do
  ver=$("$py" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
  dir=build/py-$ver
  echo "== building against $py ($ver)"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$py" \
        -DTARNWICK_TESTS=OFF -DTARNWICK_BENCH=OFF -DTARNWICK_WERROR=ON >/dev/null
  cmake --build "$dir"
  PYTHONPATH="$PWD/$dir/pkg" "$py" -X dev tools/smoke.py
done
