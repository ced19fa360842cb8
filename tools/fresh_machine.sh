#!/usr/bin/env bash
# The README's two commands as a newcomer meets them. Purges every Debian package tools/setup.sh can
# install (but the toolchain below), deletes the build trees, virtual environments and caches, clones
# HEAD into a temporary folder and runs `make demo`, then `make test` there, timing each.
# Needs root and apt. It changes this machine: the packages come back as the make targets install them.
# Usage: tools/fresh_machine.sh [--keep-cpython]
#   --keep-cpython  keeps the CPython 3.14 and 3.14t builds (~/.cache/tarnwick), which take about 20
#                   minutes to rebuild; everything else is removed either way.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
keep_cpython=0
case ${1:-} in
    --keep-cpython) keep_cpython=1 ;;
    "") ;;
    *) echo "usage: $0 [--keep-cpython]" >&2; exit 2 ;;
esac
[[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null || { echo "fresh_machine: needs root and apt" >&2; exit 2; }

# A fresh machine of our kind ships these: the compiler, make, CMake and Python's own headers (with the
# zlib and expat headers that python3-dev depends on). Purging them would test a machine we never get.
toolchain=(gcc g++ make cmake python3-dev libpython3-dev zlib1g-dev libexpat1-dev)

mapfile -t candidates < <(tools/setup.sh packages)
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
member() { local x; for x in "${@:2}"; do [[ $x == "$1" ]] && return 0; done; return 1; }

purge=()
for package in "${candidates[@]}"; do
    if member "$package" "${toolchain[@]}"; then
        echo "fresh_machine: keeping $package (toolchain of the image)"
        continue
    fi
    installed "$package" || continue
    # A package that other packages of the image need stays: purging it would take them along.
    others=$(apt-get -s purge "$package" 2>/dev/null | awk '$1 == "Purg" || $1 == "Remv" {print $2}' |
             while read -r p; do member "${p%%:*}" "${candidates[@]}" || echo "$p"; done | tr '\n' ' ')
    if [[ -n $others ]]; then
        echo "fresh_machine: keeping $package (${others% }, not ours, depend on it)"
        continue
    fi
    purge+=("$package")
done
if [[ ${#purge[@]} -gt 0 ]]; then
    echo "fresh_machine: purging ${purge[*]}"
    # --autoremove: their dependencies too, and syslog-ng's libraries (tools/setup_syslog_ng.sh marks them so).
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq --autoremove "${purge[@]}" >/dev/null
fi

rm -rf "$root/build" "$root/dist" "${XDG_CACHE_HOME:-$HOME/.cache}/pip"
if [[ $keep_cpython -eq 0 ]]; then
    rm -rf "${XDG_CACHE_HOME:-$HOME/.cache}/tarnwick"
    echo "fresh_machine: removed the CPython 3.14 builds"
else
    echo "fresh_machine: kept the CPython 3.14 builds in ${XDG_CACHE_HOME:-$HOME/.cache}/tarnwick"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
git clone -q "$root" "$work/tarnwick"
cd "$work/tarnwick"
echo "fresh_machine: cloned $(git rev-parse --short HEAD) into $work/tarnwick"
# The clone does not sit beside ../shared: point the CPython build at the source release.
export TARNWICK_CPYTHON_SRC=$root/../shared/cpython

status=0
for target in demo test; do
    start=$SECONDS
    if make "$target" >"$work/$target.log" 2>&1; then result=passed; else result=FAILED; status=1; fi
    echo "fresh_machine: make $target $result in $(( (SECONDS - start) / 60 ))m$(( (SECONDS - start) % 60 ))s"
    if [[ $result == FAILED ]]; then tail -n 60 "$work/$target.log"; break; fi
done
if [[ $status -eq 0 ]]; then
    echo "fresh_machine: make demo's CMake output:"
    grep -E '^(--|cmake)' "$work/demo.log" | sed 's/^/  /'
fi
exit $status
