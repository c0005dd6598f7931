#!/usr/bin/env bash
# Starts Zarvo twice on a virtual display: the second copy must show the conflict alert, leave the
# first one running, and exit 0 once the alert is answered.
set -u
zarvo=$1
# Every wait is for the event itself; the deadlines only stop a hang, and are generous because a
# sanitizer build of a GTK program starts slowly on a busy machine.
deadline=60
for tool in Xvfb xdotool; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool not installed"; exit 77; }
done
work=$(mktemp -d)
export XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config
Xvfb -displayfd 3 -noreset -screen 0 1280x1024x24 3>"$work/display" >/dev/null 2>&1 &
xvfb=$!
first=
cleanup() {
  [ -n "$first" ] && kill "$first" 2>/dev/null
  kill "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
end=$((SECONDS + deadline))
while [ ! -s "$work/display" ] && [ $SECONDS -lt $end ]; do sleep 0.1; done
[ -s "$work/display" ] || { echo "FAIL: Xvfb did not start"; exit 1; }
export DISPLAY=:$(cat "$work/display")

window_of() { xdotool search --onlyvisible --pid "$1" 2>/dev/null | tail -n 1; }
wait_window() {
  local end=$((SECONDS + deadline)) w
  while [ $SECONDS -lt $end ]; do
    w=$(window_of "$1"); [ -n "$w" ] && { echo "$w"; return 0; }
    kill -0 "$1" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

"$zarvo" >"$work/first.log" 2>&1 &
first=$!
wait_window "$first" >/dev/null || { echo "FAIL: first Zarvo showed no window"; cat "$work/first.log"; exit 1; }

"$zarvo" >"$work/second.log" 2>&1 &
second=$!
alert=$(wait_window "$second") || { echo "FAIL: second Zarvo showed no alert"; cat "$work/second.log"; exit 1; }
sleep 0.5
kill -0 "$second" 2>/dev/null || { echo "FAIL: second Zarvo did not wait for the alert"; exit 1; }
# The key goes to the focused window; a busy machine may not have focused the alert the first time,
# so it is pressed again until the alert is answered.
end=$((SECONDS + deadline))
while kill -0 "$second" 2>/dev/null && [ $SECONDS -lt $end ]; do
  if [ -n "$(window_of "$second")" ]; then
    xdotool windowfocus --sync "$alert" 2>/dev/null
    xdotool key Return
  fi
  for _ in $(seq 30); do kill -0 "$second" 2>/dev/null || break; sleep 0.1; done
done
if kill -0 "$second" 2>/dev/null; then echo "FAIL: alert answered but the second Zarvo kept running"; kill "$second"; exit 1; fi
wait "$second"; status=$?
[ "$status" -eq 0 ] || { echo "FAIL: second Zarvo exited with $status"; cat "$work/second.log"; exit 1; }
kill -0 "$first" 2>/dev/null || { echo "FAIL: the first Zarvo was disturbed"; exit 1; }

# A quit signal while the alert waits answers it as if closed: that copy leaves with 0 too.
"$zarvo" >"$work/third.log" 2>&1 &
third=$!
wait_window "$third" >/dev/null || { echo "FAIL: third Zarvo showed no alert"; cat "$work/third.log"; exit 1; }
kill -TERM "$third"
end=$((SECONDS + deadline))
while kill -0 "$third" 2>/dev/null && [ $SECONDS -lt $end ]; do sleep 0.1; done
if kill -0 "$third" 2>/dev/null; then echo "FAIL: SIGTERM left the alert open"; kill -KILL "$third"; exit 1; fi
wait "$third"; status=$?
[ "$status" -eq 0 ] || { echo "FAIL: SIGTERM during the alert ended Zarvo with $status"; cat "$work/third.log"; exit 1; }
kill -0 "$first" 2>/dev/null || { echo "FAIL: the first Zarvo was disturbed"; exit 1; }
echo "PASS: second instance alerted and exited 0, also when quit during the alert; first instance untouched"
