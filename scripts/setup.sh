#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing, and the
# browser test's npm packages (tests/browser, as its package-lock.json pins them).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
packages=(cmake ninja-build g++ pkg-config libsqlite3-dev sqlite3 libpq-dev libasio-dev libgtest-dev libgmock-dev
          libbenchmark-dev nlohmann-json3-dev
          postgresql nginx  # the PostgreSQL store and several hosts behind nginx, in the tests
          chromium tidy   # the browser test: Debian's Chromium, and tidy for the pages' HTML
          clang libclang-rt-14-dev)  # the fuzz targets: clang and its libFuzzer runtime
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node.js drives the browser; a node that is already there (of any origin) is used as it is.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
if [ ! -d "$here/tests/browser/node_modules/playwright-core" ]; then
  echo "installing the browser test's npm packages"
  (cd "$here/tests/browser" && npm ci --no-audit --no-fund --loglevel=error)
fi
