#!/usr/bin/env bash
# Starts or stops the PostgreSQL 15 server the parameter store tests use: a
# cluster of its own in a temporary folder, run as the postgres system user,
# reachable only through a Unix socket in that folder (no TCP listener).
#   pg-fixture.sh start STATE    initdb and start; write the socket folder to STATE
#   pg-fixture.sh stop STATE     stop the server and remove its folder
#   pg-fixture.sh pause STATE    stop the server, keep its data (the tests' outage)
#   pg-fixture.sh resume STATE   start it again on the same data
# Missing server binaries are an error, not a skip: scripts/setup-debian.sh
# installs them.
set -euo pipefail
cmd=${1:?start|stop|pause|resume}; state=${2:?state file}
bin=/usr/lib/postgresql/15/bin

need() {
  for b in initdb pg_ctl postgres; do
    [ -x "$bin/$b" ] || { echo "pg-fixture: $bin/$b not found; install postgresql-15 (scripts/setup-debian.sh)" >&2; exit 1; }
  done
  id postgres >/dev/null 2>&1 || { echo "pg-fixture: no postgres system user; install postgresql-15" >&2; exit 1; }
}
as_pg() { runuser -u postgres -- "$@"; }
folder() { [ -f "$state" ] && cat "$state"; }

stop() {
  local dir; dir=$(folder) || return 0
  [ -n "$dir" ] && [ -d "$dir/data" ] || { rm -f "$state"; return 0; }
  as_pg "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null 2>&1 || true
  rm -rf "$dir"; rm -f "$state"
}

case "$cmd" in
  start)
    need; stop
    dir=$(mktemp -d /tmp/vorel-pg-XXXXXX); chown postgres: "$dir"; chmod 755 "$dir"
    as_pg "$bin/initdb" -D "$dir/data" -U postgres --auth=trust -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 \
      || { cat "$dir/initdb.log" >&2; rm -rf "$dir"; exit 1; }
    cat >> "$dir/data/postgresql.conf" <<CONF
listen_addresses = ''
unix_socket_directories = '$dir'
max_connections = 260
shared_buffers = 32MB
CONF
    as_pg "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start >/dev/null \
      || { cat "$dir/server.log" >&2; rm -rf "$dir"; exit 1; }
    # Roles are cluster-wide: made once here, not by tests running side by side.
    as_pg "$bin/psql" -h "$dir" -U postgres -d postgres -qAt -v ON_ERROR_STOP=1 \
      -c "CREATE ROLE vorel_terminal NOLOGIN" -c "CREATE ROLE vorel_operator NOLOGIN" >/dev/null
    echo "$dir" > "$state"
    echo "PostgreSQL running, socket in $dir"
    ;;
  stop) stop ;;
  pause)
    dir=$(folder); as_pg "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null ;;
  resume)
    dir=$(folder); as_pg "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start >/dev/null ;;
  *) echo "usage: $0 start|stop|pause|resume STATE" >&2; exit 2 ;;
esac
