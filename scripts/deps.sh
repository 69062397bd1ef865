#!/usr/bin/env bash
# Installs every Debian package that building, testing, benchmarking and
# packaging kestivane need. Safe to run again: packages already present are
# left as they are, and the package lists are fetched only when something
# is missing.
set -euo pipefail

packages=(
  # build
  build-essential cmake pkg-config libpcap-dev libbsd-dev libradcli-dev libseccomp-dev
  libgtest-dev googletest
  # fuzzing and sanitizers (clang's libFuzzer runtime)
  clang libclang-rt-14-dev
  # network test peers and tools
  iproute2 procps util-linux libcap2-bin busybox isc-dhcp-client
  isc-dhcp-server dnsmasq-base isc-dhcp-relay tcpdump python3 python3-scapy
  dhcpcd-base wide-dhcpv6-relay kea-dhcp4-server kea-dhcp6-server
  # profiling the relay's costs (bench/)
  strace linux-perf
  # the metrics file's parser, to check the exposition format
  python3-prometheus-client
  # documentation and packaging
  mandoc dpkg-dev file systemd debhelper lintian devscripts
  # the benchmark's charts
  gnuplot-nox
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "deps.sh: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi

# Some of the test peers ship a service that would start on install (the DHCP
# servers, Kea among them, and the relay); the tests start their own copies inside namespaces, so
# forbid service starts while installing.
policy=/usr/sbin/policy-rc.d
had_policy=0
[ -e "$policy" ] && had_policy=1 && cp -p "$policy" "$policy.kestivane-saved"
printf '#!/bin/sh\nexit 101\n' > "$policy"
chmod 755 "$policy"
restore_policy() {
  if [ "$had_policy" -eq 1 ]; then mv -f "$policy.kestivane-saved" "$policy"; else rm -f "$policy"; fi
}
trap restore_policy EXIT

export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
