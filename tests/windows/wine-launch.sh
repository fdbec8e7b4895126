#!/usr/bin/env bash
# QB_LAUNCHER for the golden runs on the Windows leg: runs PROGRAM under wine through
# gui_check.exe beside it, which passes the argument string exactly as given.
#   wine-launch.sh PROGRAM.exe ARGUMENT_STRING
exec wine "$(dirname "$1")/gui_check.exe" "$@"
