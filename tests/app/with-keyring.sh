#!/bin/sh
# Runs a command against a private Secret Service: a session bus of its own and a keyring unlocked
# with an empty password, in a throw-away home. The keyring daemon leaves with the bus, and the bus
# with the command. With --no-keyring the command gets the throw-away home and a session bus
# address that leads nowhere, as on a headless machine; with --bus-only a session bus without a
# Secret Service (the command may bring its own).
set -eu
keyring=yes
case "${1:-}" in
--no-keyring) keyring=no; shift ;;
--bus-only) keyring=bus; shift ;;
esac
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT INT TERM
mkdir -p "$home/data" "$home/config" "$home/cache" "$home/run"
chmod 700 "$home/run"
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" \
    XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/run"
unset DISPLAY WAYLAND_DISPLAY
status=0
if [ "$keyring" = no ]; then
    DBUS_SESSION_BUS_ADDRESS="unix:path=$home/no-bus" "$@" || status=$?
elif [ "$keyring" = bus ]; then
    unset DBUS_SESSION_BUS_ADDRESS
    dbus-run-session -- "$@" || status=$?
else
    unset DBUS_SESSION_BUS_ADDRESS
    # An empty line is the empty password: the login keyring is created unlocked.
    dbus-run-session -- sh -c '
        printf "\n" | gnome-keyring-daemon --unlock --components=secrets >/dev/null || exit 77
        exec "$@"' sh "$@" || status=$?
fi
exit "$status"
