#!/usr/bin/env bash
# Runs a command with a PostgreSQL server of its own: Debian's server binaries, a new cluster in
# a temporary directory, run by an unprivileged user (nobody, when started as root), listening
# only on a Unix socket in that directory; stopped and removed when the command ends.
#
#   tests/postgres/with-cluster.sh COMMAND [ARG]...
#
# The command finds the server through SHOPVERA_TEST_POSTGRES, the socket directory; the
# cluster's superuser is "shopvera", with trust authentication on the socket. Exit status 77
# (skipped) when the server binaries are missing, except under CI.
set -euo pipefail

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -z "$bindir" ] || [ ! -x "$bindir/initdb" ]; then
  echo "with-cluster: no PostgreSQL server binaries in /usr/lib/postgresql (scripts/setup.sh installs them)" >&2
  [ -n "${CI:-}" ] && exit 1
  exit 77
fi

dir=$(mktemp -d /tmp/shopvera-pg-XXXXXX)
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  chown nobody:nogroup "$dir"
  as_user=(runuser -u nobody --)
fi

stop() {
  "${as_user[@]}" "$bindir/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap stop EXIT

(cd "$dir" && "${as_user[@]}" "$bindir/initdb" -D "$dir/data" -U shopvera --auth=trust -E UTF8 \
   --locale=C.UTF-8 --no-instructions >"$dir/initdb.log" 2>&1) || {
  cat "$dir/initdb.log" >&2
  exit 1
}
(cd "$dir" && "${as_user[@]}" "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
   -o "-k $dir -c listen_addresses= -c max_connections=300 -c shared_buffers=32MB" start >/dev/null) || {
  cat "$dir/server.log" >&2
  exit 1
}

export SHOPVERA_TEST_POSTGRES="$dir"
set +e
"$@"
status=$?
set -e
exit $status
