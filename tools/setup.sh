#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking need. Nothing comes from
# anywhere but apt. Usage: tools/setup.sh [bench]
set -euo pipefail

packages=(cmake ninja-build g++ make python3 python3-dev python3-pytest python3-numpy
          python3-hypothesis python3-mypy libgtest-dev libbenchmark-dev faketime clang libclang-rt-14-dev)
# Log engines and viewer for the shipping tests (syslog-ng conflicts with rsyslog: tools/setup_syslog_ng.sh).
packages+=(rsyslog lnav)
if [[ "${1:-}" == bench ]]; then
  packages+=(python3-structlog python3-loguru python3-logbook valgrind)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "tarnwick: missing Debian packages: ${missing[*]}" >&2
  echo "install them with: sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
echo "tarnwick: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
