#!/usr/bin/env bash
# The Wine prefix of one test run, in DIR:
#   scripts/wine-prefix.sh start DIR   # DIR/prefix, booted, with DIR/services.log
#   scripts/wine-prefix.sh stop DIR    # ends every Wine process of it and removes DIR
#
# The prefix draws with Wine's null display driver: windows exist, nothing needs an X server,
# and nobody sees a message box (the program writes its text instead). Its wineserver stays up
# until "stop", so the prefix boots once: an installed service is not started again by a later
# boot. The services that its service manager starts inherit the boot's standard error and its
# traces of service status reports and event-log entries: DIR/services.log.
set -euo pipefail
action=$1
dir=$2
export WINEPREFIX=$dir/prefix WINEDEBUG=-all LC_ALL=C
unset DISPLAY WAYLAND_DISPLAY

stop() {
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
  fi
  rm -rf "$dir"
}

case $action in
  start)
    stop  # what an interrupted run left behind
    mkdir -p "$dir"
    wineboot -i >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    wineserver -k
    wineserver -w
    wineserver -p </dev/null >/dev/null 2>&1
    WINEDEBUG=+service,+eventlog wineboot </dev/null >/dev/null 2>"$dir/services.log"
    echo "wine prefix ready: $WINEPREFIX ($(wine --version))"
    ;;
  stop)
    stop
    ;;
  *)
    echo "usage: $0 start|stop DIR" >&2
    exit 2
    ;;
esac
