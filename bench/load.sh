#!/usr/bin/env bash
# The full load run: 500 shoppers from 500 loopback addresses buy for 60 seconds, each pausing
# about a second on every page as a person does, while 1,000
# idle connections and 300 that trickle a byte every 2 seconds sit beside them. It is the
# suite's Load test at full size; its figures go to standard output and to REPORT.
#   bench/load.sh [BUILD_DIR] [REPORT]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
report=${2:-$build/load-report.txt}
export SHOPVERA_LOAD_SHOPPERS=${SHOPVERA_LOAD_SHOPPERS:-500}
export SHOPVERA_LOAD_SECONDS=${SHOPVERA_LOAD_SECONDS:-60}
export SHOPVERA_LOAD_IDLE=${SHOPVERA_LOAD_IDLE:-1000}
export SHOPVERA_LOAD_TRICKLE=${SHOPVERA_LOAD_TRICKLE:-300}
# A shopper reads each page for a second or so (0.5 to 1.5 s) before asking for the next.
export SHOPVERA_LOAD_THINK_MS=${SHOPVERA_LOAD_THINK_MS:-1000}
export SHOPVERA_LOAD_REPORT=$report
"$build/tests/e2e_tests" --gtest_filter='Load.*'
echo "figures in $report"
