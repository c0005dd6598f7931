#!/usr/bin/env bash
# Sends SIGTERM to Zarvo at several moments of its start on a fresh account (GStreamer builds its
# registry then, which takes seconds): each time Zarvo must leave through its normal way out,
# status 0, never be ended by the signal's default action (status 143).
set -u
zarvo=$1
# Every wait is for the event itself; the deadlines only stop a hang.
deadline=120
for tool in Xvfb xdotool; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool not installed"; exit 77; }
done
root=$(mktemp -d)
Xvfb -displayfd 3 -noreset -screen 0 1280x1024x24 3>"$root/display" >/dev/null 2>&1 &
xvfb=$!
child=
cleanup() {
  [ -n "$child" ] && kill -KILL "$child" 2>/dev/null
  kill "$xvfb" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
end=$((SECONDS + deadline))
while [ ! -s "$root/display" ] && [ $SECONDS -lt $end ]; do sleep 0.1; done
[ -s "$root/display" ] || { echo "FAIL: Xvfb did not start"; exit 1; }
export DISPLAY=:$(cat "$root/display")
unset GST_REGISTRY GST_REGISTRY_1_0

# One start, terminated `delay` seconds after the moment it is known to run its own code: the
# storage folder's link to the legacy folder appears (the first thing Zarvo does), or, with
# "window", once its window shows.
run() {
  local delay=$1 work status
  work=$(mktemp -d "$root/run.XXXX")
  export XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache
  mkdir -p "$XDG_DATA_HOME/MorvexWorkbench"
  "$zarvo" >"$work/log" 2>&1 &
  child=$!
  local end=$((SECONDS + deadline))
  if [ "$delay" = window ]; then
    while [ -z "$(xdotool search --onlyvisible --pid "$child" 2>/dev/null)" ] && kill -0 "$child" 2>/dev/null &&
      [ $SECONDS -lt $end ]; do sleep 0.1; done
  else
    while [ ! -L "$XDG_DATA_HOME/Zarvo" ] && kill -0 "$child" 2>/dev/null && [ $SECONDS -lt $end ]; do sleep 0.01; done
    sleep "$delay"
  fi
  kill -0 "$child" 2>/dev/null || { echo "FAIL ($delay): Zarvo ended before the signal"; cat "$work/log"; exit 1; }
  kill -TERM "$child"
  end=$((SECONDS + deadline))
  while kill -0 "$child" 2>/dev/null && [ $SECONDS -lt $end ]; do sleep 0.1; done
  if kill -0 "$child" 2>/dev/null; then
    echo "FAIL ($delay): Zarvo still runs ${deadline} s after SIGTERM"; cat "$work/log"; exit 1
  fi
  wait "$child"; status=$?
  child=
  [ "$status" -eq 0 ] || { echo "FAIL ($delay): SIGTERM ended Zarvo with status $status"; cat "$work/log"; exit 1; }
  echo "ok: SIGTERM $delay s into the start: status 0"
}

for delay in 0 0.3 1 window; do run "$delay"; done
echo "PASS: SIGTERM at every moment of the start took the normal way out"
