#!/usr/bin/env bash
# The newcomer's demo: install what is needed, build, start the local service stand-in and run
# Zarvo against it with a synthetic camera. The demo keeps its settings and data under
# build/demo/, so your own ~/.config and ~/.local/share are not touched.
#
#   bash scripts/run-demo.sh            opens the window; pick a mode and press "开启 AI"
#   bash scripts/run-demo.sh --self-run runs one billed session by itself (~20 s), then quits;
#                                       without a display this is what happens, under Xvfb
#   bash scripts/run-demo.sh --sign-in  opens the window with no account token: sign in with any
#                                       mobile number; the code is in build/demo/service.log
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
bash scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build --target bundle zarvo-devservice

demo=$root/build/demo
mkdir -p "$demo"
export XDG_CONFIG_HOME=$demo/config XDG_DATA_HOME=$demo/data
export ZARVO_DEMO_CAMERA=1
unset ZARVO_ACCOUNT_TOKEN # the stand-in's development account comes from the deployment file

reference=$demo/reference.jpg
if [ ! -s "$reference" ]; then
  gst-launch-1.0 -q videotestsrc num-buffers=1 pattern=smpte \
    ! video/x-raw,width=640,height=480 ! jpegenc ! filesink location="$reference"
fi
mkdir -p "$XDG_CONFIG_HOME/Zarvo"
[ -s "$XDG_CONFIG_HOME/Zarvo/defaults.json" ] ||
  printf '{"referencePath": "%s", "editingMode": 2}\n' "$reference" >"$XDG_CONFIG_HOME/Zarvo/defaults.json"

pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap cleanup EXIT

"$root/build/devservice/zarvo-devservice" --state "$demo/service" >"$demo/service.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q '^export ZARVO_DEPLOYMENT=' "$demo/service.log" && break; sleep 0.1; done
eval "$(grep '^export ZARVO_DEPLOYMENT=' "$demo/service.log")"
echo "run-demo: service stand-in running ($demo/service.log), deployment $ZARVO_DEPLOYMENT"

zarvo=("$root/build/Zarvo 1.0.29.app/Contents/MacOS/Zarvo")
self_run=false
[ "${1:-}" = "--self-run" ] && self_run=true
if [ "${1:-}" = "--sign-in" ]; then
  # The same stand-in without its development account's token: Zarvo starts signed out.
  sed '/^  "account_token":/d' "$ZARVO_DEPLOYMENT" >"$demo/deployment-sign-in.json"
  chmod 600 "$demo/deployment-sign-in.json"
  export ZARVO_DEPLOYMENT=$demo/deployment-sign-in.json
  if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "run-demo: --sign-in needs a display" >&2
    exit 1
  fi
  echo "run-demo: starting Zarvo signed out. Enter any mobile number (for example 13800000000),"
  echo "run-demo: press 获取验证码; the code appears in $demo/service.log ('sign-in code for …')"
  "${zarvo[@]}"
  exit 0
fi
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "run-demo: no display; running a self-run session under Xvfb"
  self_run=true
  # Xvfb picks a free display itself: other X servers (other runs, tests) may hold any number.
  displays=$(mktemp)
  Xvfb -displayfd 3 -noreset -screen 0 1400x1000x24 3>"$displays" >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$displays" ] && break; sleep 0.1; done
  export DISPLAY=:$(head -n1 "$displays")
  rm -f "$displays"
fi

if ! $self_run; then
  echo "run-demo: starting Zarvo; close its window (or Ctrl+C) to stop any session and quit"
  "${zarvo[@]}"
  exit 0
fi

report=$demo/self-run.json
rm -f "$report" "$report.png" "$XDG_DATA_HOME/ZarvoDiagnostics/stop-1.0.29.json"
printf '{"image_path": "%s", "report_path": "%s"}\n' "$reference" "$report" >"$demo/self-run-config.json"
"${zarvo[@]}" --smoke-config "$demo/self-run-config.json" &
app=$!
pids+=($app)
echo "run-demo: self-run started: a billed session begins in 2 s and stops 10 s after the first edited frame"
for _ in $(seq 900); do
  [ -s "$XDG_DATA_HOME/ZarvoDiagnostics/stop-1.0.29.json" ] && break
  kill -0 "$app" 2>/dev/null || break
  sleep 0.1
done
sleep 8 # settlement: the stand-in confirms the bill a few seconds after the stop
kill -TERM "$app" 2>/dev/null || true
wait "$app" 2>/dev/null || true
echo "run-demo: last self-run record: $(cat "$report" 2>/dev/null)"
echo "run-demo: stop report: $(cat "$XDG_DATA_HOME/ZarvoDiagnostics/stop-1.0.29.json" 2>/dev/null)"
echo "run-demo: window at the end of the run: $report.png"
if [ ! -s "$XDG_DATA_HOME/ZarvoDiagnostics/stop-1.0.29.json" ]; then
  # Another running Zarvo (of this user) makes this one stop at its conflict alert.
  echo "run-demo: the self-run did not finish; is another Zarvo running?" >&2
  exit 1
fi
