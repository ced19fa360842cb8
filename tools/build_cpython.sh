#!/usr/bin/env bash
# Usage: tools/build_cpython.sh gil|ft
# Prints the absolute path of a CPython 3.14 interpreter (python3.14, or the free-threaded
# python3.14t) on stdout, building it first if needed; all progress goes to stderr.
# No distribution we test on ships 3.14, so we build it from the source release beside the
# repository, once per machine, into the user's cache. A clone without that release uses an
# interpreter found on PATH. Without either it prints nothing and exits 0 (the caller skips);
# it exits non-zero only when a build fails.
set -euo pipefail

version=3.14.7
case "${1:-}" in
  gil) suffix="";  exe=python3.14;  extra_flags="" ;;
  ft)  suffix="t"; exe=python3.14t; extra_flags="--disable-gil" ;;
  *)   echo "usage: $0 gil|ft" >&2; exit 2 ;;
esac

say() { echo "build_cpython: $*" >&2; }

root=$(cd "$(dirname "$0")/.." && pwd)
src_dir=${TARNWICK_CPYTHON_SRC:-$root/../shared/cpython}
tarball=$src_dir/Python-$version.tar.xz

# Right version and right kind: a python3.14 that is free-threaded (or the reverse) would test
# the wrong thing.
matches() {
  "$1" -c "import sys, sysconfig
sys.exit(not (sys.version_info[:2] == (3, 14)
              and bool(sysconfig.get_config_var('Py_GIL_DISABLED')) == ('$suffix' == 't')))" 2>/dev/null
}

from_path() {
  local found
  if found=$(command -v "$exe") && matches "$found"; then
    say "using $found from PATH ($1)"
    echo "$found"
    exit 0
  fi
  say "skipping $exe: $1, and no $exe on PATH"
  exit 0
}

cache=${XDG_CACHE_HOME:-$HOME/.cache}
[[ "$cache" == /* ]] || cache=$HOME/.cache  # a relative XDG_CACHE_HOME is invalid; ignore it
base=$cache/tarnwick
prefix=$base/cpython-$version$suffix
stamp_file=$prefix/.tarnwick-build-stamp

if [[ ! -f "$tarball" ]]; then
  # A clone away from the release (a worktree, a CI checkout) still uses a finished build of it.
  if [[ -f "$stamp_file" ]] && "$prefix/bin/$exe" -c "pass" 2>/dev/null; then
    echo "$prefix/bin/$exe"
    exit 0
  fi
  from_path "no source release at $tarball"
fi

missing=()
for tool in gcc make tar xz flock sha256sum; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
[[ ${#missing[@]} -eq 0 ]] || from_path "cannot build, missing: ${missing[*]} (tools/setup.sh installs them)"

log=$base/cpython-$version$suffix.log
mkdir -p "$base"

# Never build from a corrupt or altered release.
expected=$(awk -v f="Python-$version.tar.xz" '$2 == f || $2 == "*" f { print $1 }' "$src_dir/SHA256SUMS" 2>/dev/null || true)
if [[ -z "$expected" ]]; then
  say "no checksum for Python-$version.tar.xz in $src_dir/SHA256SUMS"
  exit 1
fi
actual=$(sha256sum "$tarball" | cut -d' ' -f1)
if [[ "$actual" != "$expected" ]]; then
  say "checksum mismatch for $tarball: expected $expected, got $actual"
  exit 1
fi

flags="--prefix=$prefix${extra_flags:+ $extra_flags}"
stamp="$actual $flags"
complete() { [[ -x "$prefix/bin/$exe" && -f "$stamp_file" && "$(cat "$stamp_file")" == "$stamp" ]]; }

if ! complete; then
  # One builder per flavour; a second caller waits for it and then finds the finished build.
  exec 9>"$base/cpython-$version$suffix.lock"
  if ! flock -n 9; then
    say "another build of $exe is running; waiting for it"
    flock 9
  fi
fi

if ! complete; then
  # Leftovers of an interrupted build of this flavour (we hold its lock, so none is live).
  rm -rf "$base/.build-cpython-$version$suffix-"*
  work=$(mktemp -d "$base/.build-cpython-$version$suffix-XXXXXX")
  trap 'rm -rf "$work"' EXIT
  say "building $exe from $tarball into $prefix (about 10 minutes; log: $log)"
  start=$SECONDS
  : >"$log"
  fail() {
    say "$1; last lines of $log:"
    tail -n 40 "$log" >&2
    exit 1
  }
  tar -xJf "$tarball" -C "$work" || fail "unpacking failed"
  cd "$work/Python-$version"
  # shellcheck disable=SC2086  # flags is a word list
  nice -n 10 ./configure $flags >>"$log" 2>&1 || fail "configure failed"
  nice -n 10 make -j2 >>"$log" 2>&1 || fail "make failed"
  # Staged install: the prefix appears only when the build is complete.
  nice -n 10 make altinstall DESTDIR="$work/stage" >>"$log" 2>&1 || fail "make altinstall failed"
  staged=$work/stage$prefix
  # A missing -dev package leaves a module out silently; pip and the tests need these.
  PYTHONHOME=$staged "$staged/bin/$exe" -c "import ssl, zlib, bz2, lzma, ctypes, sqlite3, readline, _uuid, hashlib" \
    >>"$log" 2>&1 || fail "the new interpreter lacks standard modules (a missing -dev package? see tools/setup.sh)"
  echo "$stamp" >"$staged/.tarnwick-build-stamp"
  rm -rf "$prefix"
  mv "$staged" "$prefix"
  say "built $exe in $(( (SECONDS - start) / 60 ))m$(( (SECONDS - start) % 60 ))s"
fi

"$prefix/bin/$exe" -c "pass" || { say "$prefix/bin/$exe does not run"; exit 1; }
echo "$prefix/bin/$exe"
