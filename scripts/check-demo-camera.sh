#!/usr/bin/env bash
# Shows that another application sees the edited video: runs the self-run demo
# (scripts/run-demo.sh --self-run) against a private PipeWire daemon, attaches a pipewiresrc
# consumer to the "zarvo-virtual-camera" node, and checks what it receives:
#   - during the session the picture is the edit, not the camera: the demo's editing mode puts
#     the camera, half size, in the lower right over the still reference picture, so the upper
#     left stays put while the inset moves (the demo camera's bars scroll);
#   - the sender that said ready keeps running through the session (no stop, no restart);
#   - after the session the camera turns black.
# Needs no display (Xvfb) and no PipeWire of your own. Takes about a minute; prints PASS or FAIL.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
work=$(mktemp -d /tmp/zarvo-demo-camera-XXXXXX)
mkdir -p "$work/run" "$work/frames"
chmod 700 "$work/run"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The private daemon: its own runtime folder, no session manager, no D-Bus.
export XDG_RUNTIME_DIR=$work/run
unset PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR DBUS_SESSION_BUS_ADDRESS ZARVO_VIRTUAL_CAMERA_OUTPUT
XDG_CONFIG_HOME=$work/config pipewire >"$work/pipewire.log" 2>&1 &
pids+=($!)
for _ in $(seq 300); do [ -S "$work/run/pipewire-0" ] && break; sleep 0.1; done
[ -S "$work/run/pipewire-0" ] || { echo "check-demo-camera: FAIL: PipeWire did not start"; exit 1; }

bash scripts/run-demo.sh --self-run >"$work/demo.log" 2>&1 &
demo=$!
pids+=($demo)

# The node appears when the first edited frame has started the sender.
node_there() { pw-dump 2>/dev/null | grep -q '"node.name": "zarvo-virtual-camera"'; }
for _ in $(seq 1800); do node_there && break; kill -0 "$demo" 2>/dev/null || break; sleep 0.1; done
if ! node_there; then
  echo "check-demo-camera: FAIL: the camera node never appeared"
  sed 's/^/  demo: /' "$work/demo.log" | tail -20
  exit 1
fi
lock=$root/build/demo/data/Zarvo/camera-sender.lock
sender=$(cat "$lock" 2>/dev/null || true)
echo "check-demo-camera: node published by pixelfeed $sender"

# Two pictures a second, scaled to 320 × 180 so a minute of them stays small.
timeout 120 gst-launch-1.0 -q pipewiresrc stream-properties="props,node.name=zarvo-demo-viewer" \
  ! video/x-raw,format=YUY2,width=1280,height=720 ! videorate drop-only=true max-rate=2 \
  ! videoscale ! video/x-raw,width=320,height=180 \
  ! multifilesink location="$work/frames/%04d.yuv" >"$work/consumer.log" 2>&1 &
pids+=($!)
linked=false
for _ in $(seq 300); do
  if pw-link zarvo-virtual-camera:out_0 zarvo-demo-viewer:in_0 2>/dev/null; then linked=true; break; fi
  sleep 0.1
done
$linked || { echo "check-demo-camera: FAIL: could not link a consumer to the node"; exit 1; }

wait "$demo" || true
sed 's/^/  demo: /' "$work/demo.log" | grep 'run-demo:' || true
# The session has ended; give the black frames a few seconds to arrive.
sleep 4
alive=false
if [ -n "$sender" ] && kill -0 "$sender" 2>/dev/null && [ "$(cat "$lock" 2>/dev/null)" = "$sender" ]; then
  alive=true
fi
[ -n "$sender" ] && kill "$sender" 2>/dev/null || true

python3 - "$work/frames" "$alive" <<'EOF'
import os, sys
folder, alive = sys.argv[1], sys.argv[2] == "true"
W, H = 320, 180
def luma(frame, x0, y0, x1, y1):
    return [frame[(y * W + x) * 2] for y in range(y0, y1, 2) for x in range(x0, x1, 2)]
def mean(values):
    return sum(values) / max(1, len(values))
def diff(a, b):
    return mean([abs(p - q) for p, q in zip(a, b)])
frames = []
for name in sorted(os.listdir(folder)):
    data = open(os.path.join(folder, name), "rb").read()
    if len(data) == W * H * 2:
        frames.append(data)
# Upper left: the reference picture; lower right: the moving camera inset.
still = [luma(f, 16, 9, 144, 81) for f in frames]
inset = [luma(f, 176, 100, 304, 160) for f in frames]
bright = [mean(luma(f, 0, 0, W, H)) > 40 for f in frames]
edited = 0
for i in range(len(frames) - 2):
    j = i + 2  # a second later
    if bright[i] and bright[j] and diff(still[i], still[j]) < 6 and diff(inset[i], inset[j]) > 12:
        edited += 1
black_at_end = len(frames) >= 2 and all(mean(luma(f, 0, 0, W, H)) < 20 for f in frames[-2:])
print(f"check-demo-camera: {len(frames)} pictures received, {sum(bright)} not black, "
      f"{edited} one-second pairs showing the edit (still reference, moving camera inset)")
print(f"check-demo-camera: sender kept running through the session: {alive}; "
      f"black after the session: {black_at_end}")
ok = edited >= 3 and alive and black_at_end
print("check-demo-camera: " + ("PASS" if ok else "FAIL"))
sys.exit(0 if ok else 1)
EOF
