#!/usr/bin/env bash
# Screenshots of the studio: the live, bill and settings pages in the light and the dark theme,
# taken by Zarvo's own screenshot mode against the local service stand-in (so the account texts
# are real) under Xvfb. Regenerates docs/screenshots/ for the README.
#
#   bash scripts/screenshots.sh                       build, then write docs/screenshots/*.png
#   bash scripts/screenshots.sh --build-dir DIR OUT   use an existing build, write into OUT
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
build=
if [ "${1:-}" = "--build-dir" ]; then
  build=$2
  shift 2
fi
out=$(realpath -m "${1:-$root/docs/screenshots}")
if [ -z "$build" ]; then
  build=$root/build
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" --target bundle zarvo-devservice
fi

# One X server for every capture.
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1400x1000x24" bash "$0" --build-dir "$build" "$out"
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data NO_AT_BRIDGE=1
unset ZARVO_ACCOUNT_TOKEN

"$build/devservice/zarvo-devservice" --state "$work/service" >"$work/service.log" 2>&1 &
pids+=($!)
for _ in $(seq 300); do grep -q '^export ZARVO_DEPLOYMENT=' "$work/service.log" && break; sleep 0.1; done
eval "$(grep '^export ZARVO_DEPLOYMENT=' "$work/service.log")"

zarvo="$build/Zarvo 1.0.29.app/Contents/MacOS/Zarvo"
mkdir -p "$out" "$XDG_CONFIG_HOME/Zarvo"

# A gallery of three reference images, a preset and the demo cameras, so the live page shows them.
references=$XDG_DATA_HOME/Zarvo/references
mkdir -p "$references"
n=0
for pattern in smpte ball pinwheel; do
  n=$((n + 1))
  gst-launch-1.0 -q videotestsrc pattern=$pattern num-buffers=1 \
    ! video/x-raw,width=640,height=480 ! jpegenc ! filesink location="$references/参考图-$n.jpg"
done
cat >"$XDG_DATA_HOME/Zarvo/presets.json" <<JSON
[{"id": "5f0e8c1a-0000-4000-8000-000000000001", "name": "晨间直播", "mode": 1,
  "reference": "$references/参考图-1.jpg", "camera": "zarvo-demo-camera", "mirror": false}]
JSON
export ZARVO_DEMO_CAMERA=${ZARVO_DEMO_CAMERA:-1}
for theme in light dark; do
  printf '{"studioAppearance": "%s", "referencePath": "%s"}\n' "$theme" "$references/参考图-1.jpg" \
    >"$XDG_CONFIG_HOME/Zarvo/defaults.json"
  for page in live bill settings; do
    shot=$out/studio-$page-$theme.png
    rm -f "$shot" "$shot.json"
    timeout 120 "$zarvo" --snapshot "$shot" --page "$page" --with-account >"$work/zarvo.log" 2>&1 || true
    # The account texts are written before the picture.
    if [ ! -s "$shot" ] || [ ! -s "$shot.json" ] || [ "$shot.json" -nt "$shot" ]; then
      echo "screenshots: $shot was not written" >&2
      cat "$work/zarvo.log" >&2
      exit 1
    fi
    rm -f "$shot.json"
    echo "screenshots: $shot"
  done
done
