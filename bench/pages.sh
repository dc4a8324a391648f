#!/usr/bin/env bash
# The mall's pages against nginx serving the same bytes: requests per second, latency, CPU and
# system calls per page, on the demo mall and on a generated catalogue of 1,000,000 products
# (built once into /tmp/shopvera-pages-sh/), then hostd's memory over a long run. Prints a
# markdown table. About 10 minutes (the first run some minutes more, for the large catalogue);
# --quick: the demo mall only, in about a minute.
#
#   bench/pages.sh [--quick] [--bin DIR] [--rounds N] [--requests N] [--memory-requests N]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

need=()
for pkg in nginx apache2-utils strace python3; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${need[@]}"
fi

bin="$here/build/bin"
for ((i = 1; i <= $#; i++)); do
  if [ "${!i}" = "--bin" ]; then j=$((i + 1)); bin="${!j}"; fi
done
if [ ! -x "$bin/hostd" ]; then
  "$here/scripts/build.sh" "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
# strace attaches to a running hostd: allowed for root, else it needs ptrace_scope 0.
if [ "$(id -u)" -ne 0 ] && [ "$(cat /proc/sys/kernel/yama/ptrace_scope 2>/dev/null || echo 0)" != 0 ]; then
  echo "pages.sh: strace needs root or kernel.yama.ptrace_scope=0" >&2
fi
exec python3 "$here/bench/pages.py" "$@"
