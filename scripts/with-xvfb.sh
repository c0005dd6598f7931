#!/usr/bin/env bash
# Runs a command on a virtual X display of its own. The server picks a free display number itself
# (-displayfd), so tests started side by side never race for a number chosen beforehand. -noreset
# keeps it serving between clients: a reset after one program quits can refuse the next one.
# Usage: with-xvfb.sh [-s "server arguments"] command [arguments...]
set -u
server_args="-screen 0 1280x1024x24"
if [ "${1:-}" = "-s" ]; then
  server_args=$2
  shift 2
fi
work=$(mktemp -d)
# shellcheck disable=SC2086 # the server arguments are words
Xvfb -displayfd 3 -noreset -nolisten tcp $server_args 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -rf "$work"' EXIT
trap 'exit 143' TERM INT
for _ in $(seq 600); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb" 2>/dev/null || break
  sleep 0.1
done
if [ ! -s "$work/display" ]; then
  echo "with-xvfb: Xvfb did not start" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
DISPLAY=:$(head -n 1 "$work/display")
export DISPLAY
"$@"
