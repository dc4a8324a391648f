#!/usr/bin/env bash
# Configures and builds into DIR (default build/); extra arguments go to cmake.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$here/build}
shift || true
cmake -S "$here" -B "$dir" -G Ninja "$@" >/dev/null
ninja -C "$dir"
