#!/usr/bin/env bash
# Screenshots of the studio: the live page (gallery and presets), the bill and the settings in the
# light and the dark theme, taken by Zarvo's own screenshot mode against the local service
# stand-in (so the account texts and the bill are real) under Xvfb. Regenerates docs/screenshots/ for the README.
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
  exec bash "$root/scripts/with-xvfb.sh" -s "-screen 0 1400x1000x24" \
    bash "$0" --build-dir "$build" "$out"
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

# The stand-in's account starts with a history, so the bill page has records to show: the
# opening grants and ten settled sessions, written as the stand-in's own billing snapshot.
seed_billing() {
  local folder=$1 token paid=0 gift=0 id=0 ledger="" sessions="" at
  token=zdev-screenshots-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')
  at=$(date -u -d '2026-12-01 09:00:00' +%s)
  iso() { date -u -d "@$1" +%Y-%m-%dT%H:%M:%SZ; }
  entry() { # kind session-json paid-delta gift-delta description time
    id=$((id + 1))
    paid=$((paid + $3))
    gift=$((gift + $4))
    ledger+="${ledger:+,}{\"entry_id\":$id,\"created_at\":\"$(iso "$6")\",\"kind\":\"$1\","
    ledger+="\"session_id\":$2,\"points\":$(($3 + $4)),\"paid_points\":$3,\"gift_points\":$4,"
    ledger+="\"balance_after\":$((paid + gift)),\"paid_balance_after\":$paid,"
    ledger+="\"gift_balance_after\":$gift,\"description\":\"$5\"}"
  }
  entry grant null 3000 0 "充值积分" "$at"
  entry grant null 0 600 "赠送积分" "$at"
  local types=(subject_replacement virtual_tryon background_replacement style_transfer)
  local n used fromGift fromPaid start reserved reservedGift reservedPaid reason
  for n in $(seq 10); do
    used=$((60 + (n * 97) % 300))
    start=$((at + n * 5400))
    reserved=$((paid + gift < 3600 ? paid + gift : 3600))
    reservedGift=$((gift < reserved ? gift : reserved))
    reservedPaid=$((reserved - reservedGift))
    fromGift=$((gift < used ? gift : used))
    fromPaid=$((used - fromGift))
    reason=client_stop
    [ "$n" = 4 ] && reason=heartbeat_timeout
    sessions+="${sessions:+,}{\"session_id\":\"$(printf 'b7%06x-5c1e-4d0a-9f3b-%012d' $((n * 7919)) "$n")\","
    sessions+="\"editing_type\":\"${types[$((n % 4))]}\",\"state\":\"$([ "$reason" = client_stop ] && echo ENDED || echo STOPPED)\","
    sessions+="\"started_at\":\"$(iso "$start")\",\"ended_at\":\"$(iso $((start + used + 4)))\","
    sessions+="\"elapsed_seconds\":$used,\"reserved_paid_points\":$reservedPaid,"
    sessions+="\"reserved_gift_points\":$reservedGift,\"consumed_paid_points\":$fromPaid,"
    sessions+="\"consumed_gift_points\":$fromGift,\"bill_confirmed\":true,\"end_reason\":\"$reason\","
    sessions+="\"idempotency_key\":\"screenshots-$n\",\"render_uid\":\"render-$n\"}"
    entry session_charge "\"$(printf 'b7%06x-5c1e-4d0a-9f3b-%012d' $((n * 7919)) "$n")\"" \
      "-$fromPaid" "-$fromGift" "AI 会话扣费 · $used 秒" $((start + used + 4))
  done
  mkdir -p "$folder"
  chmod 700 "$folder"
  (umask 077 && printf '%s' "$token" >"$folder/account-token")
  (umask 077 && printf '{"format":1,"accounts":[{"token":"%s","name":"开发账号",%s,%s,%s,%s,%s}]}\n' \
    "$token" "\"available_paid_points\":$paid" "\"available_gift_points\":$gift" \
    "\"next_entry_id\":$((id + 1))" "\"ledger\":[$ledger]" "\"sessions\":[$sessions]" \
    >"$folder/billing.json")
}
seed_billing "$work/service"

"$build/devservice/zarvo-devservice" --state "$work/service" >"$work/service.log" 2>&1 &
pids+=($!)
for _ in $(seq 300); do grep -q '^export ZARVO_DEPLOYMENT=' "$work/service.log" && break; sleep 0.1; done
eval "$(grep '^export ZARVO_DEPLOYMENT=' "$work/service.log")"

zarvo="$build/Zarvo 1.0.29.app/Contents/MacOS/Zarvo"
mkdir -p "$out" "$XDG_CONFIG_HOME/Zarvo"

# A gallery of three reference images, three presets and the demo cameras, so the live page shows them.
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
  "reference": "$references/参考图-1.jpg", "camera": "zarvo-demo-camera", "mirror": false},
 {"id": "5f0e8c1a-0000-4000-8000-000000000002", "name": "试穿 · 条纹衬衫", "mode": 1,
  "reference": "$references/参考图-2.jpg", "camera": "zarvo-demo-camera", "mirror": true},
 {"id": "5f0e8c1a-0000-4000-8000-000000000003", "name": "夜景背景", "mode": 2,
  "reference": "$references/参考图-3.jpg", "camera": "", "mirror": false}]
JSON
export ZARVO_DEMO_CAMERA=${ZARVO_DEMO_CAMERA:-1}
for theme in light dark; do
  printf '{"studioAppearance": "%s", "referencePath": "%s"}\n' "$theme" "$references/参考图-1.jpg" \
    >"$XDG_CONFIG_HOME/Zarvo/defaults.json"
  for page in live presets bill settings; do
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
