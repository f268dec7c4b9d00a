#!/usr/bin/env bash
# Starts or stops the X server the graphics and display tests run under.
#   xvfb-fixture.sh start STATE   start Xvfb on a free display, write ":N" to STATE
#   xvfb-fixture.sh stop STATE    stop the server recorded in STATE
set -euo pipefail
cmd=${1:?start|stop}; state=${2:?state file}

stop() {
  if [ -f "$state.pid" ]; then
    pid=$(cat "$state.pid")
    # Only signal the server this script started.
    if [ -n "$pid" ] && [ "$(cat /proc/$pid/comm 2>/dev/null)" = "Xvfb" ]; then
      kill "$pid" 2>/dev/null || true
    fi
  fi
  rm -f "$state" "$state.pid" "$state.fd"
}

case "$cmd" in
  start)
    stop
    command -v Xvfb >/dev/null || { echo "Xvfb not installed" >&2; exit 1; }
    : > "$state.fd"
    setsid Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1280x1024x24 +extension RANDR \
      3>"$state.fd" >"$state.log" 2>&1 < /dev/null &
    echo $! > "$state.pid"
    for _ in $(seq 200); do
      if [ -s "$state.fd" ]; then
        echo ":$(tr -d '\n' < "$state.fd")" > "$state"
        echo "Xvfb running on $(cat "$state")"
        exit 0
      fi
      sleep 0.05
    done
    echo "Xvfb did not start:" >&2; cat "$state.log" >&2 || true
    exit 1 ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop STATE" >&2; exit 2 ;;
esac
