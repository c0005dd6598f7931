#!/usr/bin/env bash
# Zarvo's edited picture reaches other applications in one of two ways:
#  1. PipeWire (preferred, nothing to install): when a PipeWire daemon runs in your session, Zarvo
#     publishes the camera "Zarvo虚拟摄像头" itself, no kernel module and no root. Chromium: enable
#     "PipeWire Camera support" in chrome://flags; Firefox: set media.webrtc.camera.allow-pipewire.
#  2. v4l2loopback (this script): a device with the card label "VirtualCamera4Mac", loaded with
#     exclusive_caps=1 so browsers and video-call applications list it as an ordinary camera.
#     Loads it now and keeps it across reboots. Set ZARVO_VIRTUAL_CAMERA_OUTPUT=v4l2loopback to
#     use it even when PipeWire runs.
#
#   setup-virtual-camera.sh            install the driver if needed, load it, keep it loaded
#   setup-virtual-camera.sh --check    only say whether the device exists (exit 0) or not (exit 1)
#   setup-virtual-camera.sh --remove   unload it and forget the boot-time settings
#
# Needs root for everything but --check; it re-runs itself through sudo when started as a user.
#   setup-virtual-camera.sh --check also says whether PipeWire answers (way 1).
set -euo pipefail

label="VirtualCamera4Mac"
options="devices=1 exclusive_caps=1 card_label=$label"
modprobe_conf=/etc/modprobe.d/zarvo-virtual-camera.conf
modules_conf=/etc/modules-load.d/zarvo-virtual-camera.conf

say() { printf 'setup-virtual-camera: %s\n' "$*"; }
die() { say "$*" >&2; exit 1; }

# The device node whose card label is ours, compared without regard to letter case.
find_device() {
  local entry name
  for entry in /sys/class/video4linux/video*; do
    [ -r "$entry/name" ] || continue
    name=$(tr -d '\n' <"$entry/name")
    if [ "${name,,}" = "${label,,}" ]; then
      echo "/dev/${entry##*/}"
      return 0
    fi
  done
  return 1
}

need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || die "run this as root (sudo is not installed)"
    exec sudo -- "$0" "$@"
  fi
}

action=${1:-setup}
case "$action" in
  --check)
    if [ -n "${XDG_RUNTIME_DIR:-}" ] && [ -S "$XDG_RUNTIME_DIR/pipewire-0" ]; then
      say "PipeWire runs in this session: Zarvo publishes its own camera there, nothing to install"
    fi
    if device=$(find_device); then
      say "ready: $device ($label)"
      exit 0
    fi
    if modinfo v4l2loopback >/dev/null 2>&1; then
      say "the v4l2loopback driver is installed but no device is labelled $label"
    else
      say "the v4l2loopback driver is not installed"
    fi
    exit 1
    ;;
  --remove)
    need_root "$@"
    rm -f "$modprobe_conf" "$modules_conf"
    if [ -d /sys/module/v4l2loopback ]; then
      modprobe -r v4l2loopback || die "v4l2loopback is in use; close the applications using it and try again"
    fi
    say "removed"
    exit 0
    ;;
  setup) ;;
  -h|--help)
    awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
    exit 0
    ;;
  *) die "unknown option $action (try --help)" ;;
esac

need_root "$@"

if ! modinfo v4l2loopback >/dev/null 2>&1; then
  command -v apt-get >/dev/null || die "install the v4l2loopback driver with your distribution's tools, then run this again"
  say "installing the v4l2loopback driver (v4l2loopback-dkms and the headers of the running kernel)"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y v4l2loopback-dkms "linux-headers-$(uname -r)"
  modinfo v4l2loopback >/dev/null 2>&1 || die "the driver did not build for kernel $(uname -r)"
fi

# Boot-time settings, so the device comes back after a restart.
printf 'options v4l2loopback %s\n' "$options" >"$modprobe_conf"
printf 'v4l2loopback\n' >"$modules_conf"

if device=$(find_device); then
  say "ready: $device ($label)"
  exit 0
fi

# Loaded without our device (other settings): reload it with ours, which fails while in use.
if [ -d /sys/module/v4l2loopback ]; then
  say "reloading v4l2loopback with $options"
  modprobe -r v4l2loopback || die "v4l2loopback is loaded with other settings and in use; close the applications using it or restart, then run this again"
fi
# shellcheck disable=SC2086 # the options are separate words on purpose
modprobe v4l2loopback $options || die "could not load v4l2loopback (with Secure Boot the module may need signing)"
udevadm settle 2>/dev/null || true
device=$(find_device) || die "v4l2loopback loaded, but no device is labelled $label"
say "ready: $device ($label)"
