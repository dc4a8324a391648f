#!/usr/bin/env bash
# The browser test: lays out a fresh demo mall in a temporary root, starts hostd on a free
# port, walks the mall in headless Chromium (walk.mjs) and hands every page it saw to tidy.
#
#   run.sh BIN_DIR OUT_DIR
#
# BIN_DIR holds hostd, mallctl and the libraries; OUT_DIR receives pages/, screenshots/ and
# the logs. When Chromium, Node.js, tidy or the browser test's npm packages are missing
# (scripts/setup.sh installs them) the exit status is 77, a skipped test for CTest; under CI
# (CI set) that is a failure instead, so that a broken install cannot pass as a skip.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "${1:?run.sh BIN_DIR OUT_DIR}" && pwd)
out=${2:?run.sh BIN_DIR OUT_DIR}

missing() {
  echo "browser test cannot run: $1 (scripts/setup.sh installs it)"
  if [ -n "${CI:-}" ]; then exit 1; fi
  exit 77
}
for tool in node tidy "${CHROMIUM:-/usr/bin/chromium}"; do
  command -v "$tool" >/dev/null || missing "$tool is not installed"
done
[ -d "$here/node_modules/playwright-core" ] || missing "the npm packages of $here are not installed"

rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/shopvera-browser-XXXXXX")
hostd_pid=""
stop() {
  if [ -n "$hostd_pid" ]; then
    kill -TERM "$hostd_pid" 2>/dev/null || true
    wait "$hostd_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap stop EXIT

"$bin/mallctl" --root "$work/root" init --demo >"$out/mallctl.log" 2>&1 || {
  cat "$out/mallctl.log"
  exit 1
}

# Port 0: the kernel picks a free one, and hostd names it in its ready line. The file exists
# before the first look at it: the background start may not have opened it yet.
: >"$work/hostd.out"
"$bin/hostd" --root "$work/root" --bind 127.0.0.1 --port 0 >>"$work/hostd.out" 2>"$out/hostd.err" &
hostd_pid=$!
base=""
for _ in $(seq 1 200); do
  base=$(sed -n 's|^listening on \(http://[^ ]*/\)$|\1|p' "$work/hostd.out" | head -n 1)
  [ -n "$base" ] && break
  if ! kill -0 "$hostd_pid" 2>/dev/null; then
    echo "hostd ended before it was ready:"
    cat "$out/hostd.err"
    exit 1
  fi
  sleep 0.1
done
if [ -z "$base" ]; then
  echo "hostd did not say it was listening within 20 seconds"
  exit 1
fi
echo "hostd serves the demo mall at $base"

# A browser that hangs is stopped here, so that hostd is still stopped by this script.
status=0
(cd "$here" && timeout 240 node walk.mjs --base "$base" --out "$out") || status=1

# Every page of the walk, as hostd sent it, must be free of HTML errors.
pages=0
bad=0
for page in "$out"/pages/*.html; do
  [ -e "$page" ] || continue
  pages=$((pages + 1))
  report=$(tidy -errors -quiet "$page" 2>&1 >/dev/null) && rc=0 || rc=$?
  if [ "$rc" -ge 2 ]; then
    bad=$((bad + 1))
    echo "tidy: errors in $(basename "$page"):"
    printf '%s\n' "$report" | grep -i 'error' | sed 's/^/  /'
  fi
done
echo "tidy: $((pages - bad)) of $pages pages without errors"
[ "$bad" -eq 0 ] || status=1
[ "$pages" -gt 0 ] || status=1

# Every request of the walk has its line in access.log, in the combined format.
log="$work/root/access.log"
lines=$(wc -l <"$log" 2>/dev/null || echo 0)
odd=$(grep -cvE '^[0-9.]+ - [^ ]+ \[[0-9]{2}/[A-Z][a-z]{2}/[0-9]{4}(:[0-9]{2}){3} [+-][0-9]{4}\] "[^"]*" [0-9]{3} [0-9]+ "[^"]*" "[^"]*"$' "$log" 2>/dev/null || true)
echo "access.log: $lines lines, ${odd:-0} not in the combined format"
if [ "$lines" -lt "$pages" ] || [ "${odd:-0}" -ne 0 ]; then status=1; fi

cp "$work/root/trace.log" "$work/root/audit.log" "$work/root/access.log" "$out/" 2>/dev/null || true
if [ "$status" -ne 0 ]; then
  echo "browser test failed; pages, screenshots and logs are in $out"
fi
exit "$status"
