#!/usr/bin/env bash
# QB_LAUNCHER for the end-to-end suite on the Windows leg: runs PROGRAM under wine through
# launch.exe beside it, so the program sees the argument string exactly as given. wine alone
# would re-quote an argument that holds blanks or quotation marks.
#   wine-launch.sh PROGRAM.exe [ARGUMENT_STRING]
program=${1:?usage: wine-launch.sh PROGRAM.exe [ARGUMENT_STRING]}
exec timeout "${QB_WINE_TIMEOUT:-120}" wine "$(dirname "$program")/launch.exe" "$@"
