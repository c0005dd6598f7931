#!/usr/bin/env bash
# The unattended modes called wrongly, beside a running Zarvo: each call must fail with a message on
# standard error and status 1, never start a second interactive Zarvo or report success.
set -u
zarvo=$1
deadline=120 # only stops a hang
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

"$zarvo" >"$work/first.log" 2>&1 &
first=$!
end=$((SECONDS + deadline))
while [ -z "$(xdotool search --onlyvisible --pid "$first" 2>/dev/null)" ] && [ $SECONDS -lt $end ]; do
  kill -0 "$first" 2>/dev/null || { echo "FAIL: the first Zarvo ended"; cat "$work/first.log"; exit 1; }
  sleep 0.1
done

# Runs Zarvo with the given arguments (bounded); it must end with status 1 and say why on stderr.
refused() {
  timeout -k 10 "$deadline" "$zarvo" "$@" >"$work/out" 2>"$work/err"
  local status=$?
  if [ "$status" -ne 1 ] || [ ! -s "$work/err" ]; then
    echo "FAIL: Zarvo $* ended with status $status"; cat "$work/err"; exit 1
  fi
  echo "ok: Zarvo $* -> 1: $(head -n 1 "$work/err")"
}

refused --snapshot
refused --snapshot --with-account
refused --page live
refused --snapshot "$work/shot.png" --reference-preview "$work/no-such-image.jpg"
# A PNG that cannot be written: the capture runs, then the failure is the status.
refused --snapshot "$work/no-such-folder/shot.png"
[ ! -e "$work/no-such-folder" ] || { echo "FAIL: a folder appeared"; exit 1; }
kill -0 "$first" 2>/dev/null || { echo "FAIL: the first Zarvo was disturbed"; exit 1; }
echo "PASS: every wrong call of an unattended mode failed with a message and status 1"
