#!/usr/bin/env bash
# Makes syslog-ng available to the shipping tests. Debian's syslog-ng-core conflicts with rsyslog (each
# claims to be the system log daemon), and the tests need both; so unless syslog-ng is installed already,
# its package is unpacked into DIR and only its libraries are installed. Usage: tools/setup_syslog_ng.sh DIR
set -euo pipefail
dest=${1:?usage: tools/setup_syslog_ng.sh DIR}

command -v syslog-ng >/dev/null && exit 0
[[ -x $dest/usr/sbin/syslog-ng ]] && exit 0

# What apt would install with the package, less the package itself (and less the removal of rsyslog).
deps=$(apt-get install -s -qq --no-install-recommends syslog-ng-core | awk '$1 == "Inst" && $2 != "syslog-ng-core" {print $2}')
if [[ -n $deps ]]; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "tarnwick: syslog-ng needs the Debian packages:" $deps >&2
    echo "install them with: sudo apt-get install -y --no-install-recommends" $deps >&2
    exit 1
  fi
  echo "tarnwick: installing" $deps
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $deps >/dev/null
  # Only the unpacked syslog-ng needs them: marked as dependencies, they leave with apt's autoremove.
  apt-mark auto $deps >/dev/null
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
chmod 777 "$tmp"    # apt downloads as its own unprivileged user
(cd "$tmp" && apt-get download -qq syslog-ng-core)
mkdir -p "$dest"
dpkg-deb -x "$tmp"/syslog-ng-core_*.deb "$dest"
echo "tarnwick: syslog-ng unpacked into $dest"
