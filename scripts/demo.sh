#!/usr/bin/env bash
# Builds the mall, lays out a demo root in demo/ (once) and serves it on http://127.0.0.1:8080/.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh"
"$here/scripts/build.sh" "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
root=${SHOPVERA_ROOT:-$here/demo}
if [ ! -e "$root/kvzsvw.mdf" ]; then
  "$here/build/bin/mallctl" --root "$root" init --demo
fi
exec "$here/build/bin/hostd" --root "$root" --port "${PORT:-8080}" "$@"
