#!/usr/bin/env bash
# A system D-Bus and an avahi-daemon that publishes on loopback only, for the
# tests and the demo. mDNS never leaves lo: allow-interfaces=lo.
#
#   scripts/avahi-loopback.sh start     start what is not already running
#   scripts/avahi-loopback.sh stop      stop only what start started
#   scripts/avahi-loopback.sh restart   kill our daemon, wait for it, start it again
#   scripts/avahi-loopback.sh status    exit 0 when a daemon answers on the bus
#
# State (config, pids, logs) lives in $VX_AVAHI_STATE (default /tmp/vx-avahi-loopback).
set -uo pipefail
state=${VX_AVAHI_STATE:-/tmp/vx-avahi-loopback}
mkdir -p "$state"

daemon_ready() {
  dbus-send --system --print-reply=literal --dest=org.freedesktop.Avahi / \
    org.freedesktop.Avahi.Server.GetState 2>/dev/null | grep -q 'int32 2'
}
bus_up() { dbus-send --system --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetId >/dev/null 2>&1; }
alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }

start_bus() {
  bus_up && return 0
  mkdir -p /run/dbus
  rm -f /run/dbus/pid  # stale after an unclean end; dbus-daemon refuses to start over it
  dbus-daemon --system --fork --print-pid >"$state/dbus.pid" 2>"$state/dbus.log" || { cat "$state/dbus.log" >&2; return 1; }
  for _ in $(seq 1 50); do bus_up && return 0; sleep 0.1; done
  echo "avahi-loopback: the system bus did not come up" >&2
  return 1
}

start_daemon() {
  daemon_ready && return 0
  cat >"$state/avahi-daemon.conf" <<CONF
[server]
host-name=vx-loopback
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
CONF
  avahi-daemon -f "$state/avahi-daemon.conf" --no-drop-root --no-chroot >"$state/avahi.log" 2>&1 </dev/null &
  echo $! >"$state/avahi.pid"
  for _ in $(seq 1 100); do
    daemon_ready && return 0
    alive "$(cat "$state/avahi.pid")" || break
    sleep 0.1
  done
  echo "avahi-loopback: avahi-daemon did not become ready; it said:" >&2
  sed 's/^/  avahi| /' "$state/avahi.log" >&2
  return 1
}

stop_daemon() {
  local pid
  pid=$(cat "$state/avahi.pid" 2>/dev/null || true)
  rm -f "$state/avahi.pid"
  alive "$pid" || return 0
  kill -TERM "$pid"
  # It must be gone before a new one starts, or that one reports "Daemon already running".
  for _ in $(seq 1 100); do alive "$pid" || return 0; sleep 0.05; done
  kill -KILL "$pid" 2>/dev/null
  rm -f /run/avahi-daemon/pid
}

case "${1:-}" in
  start) start_bus && start_daemon ;;
  stop)
    stop_daemon
    pid=$(cat "$state/dbus.pid" 2>/dev/null || true)
    rm -f "$state/dbus.pid"
    if alive "$pid"; then kill -TERM "$pid"; rm -f /run/dbus/pid; fi
    ;;
  restart)
    [ -f "$state/avahi.pid" ] || { echo "avahi-loopback: the running daemon is not ours; not restarting it" >&2; exit 3; }
    stop_daemon && start_daemon ;;
  status) daemon_ready ;;
  *) echo "usage: $0 start|stop|restart|status" >&2; exit 2 ;;
esac
