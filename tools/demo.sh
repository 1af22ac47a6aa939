#!/usr/bin/env bash
# make demo: GDB with the plugin's extension on the test fixture (a stand-in
# ThreadX target) prints every object table, the current thread and one
# suspended thread's registers; the session is recorded and then played back
# by the plugin alone, which checks every message byte for byte.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
record=$(mktemp --suffix=.rec)
trap 'rm -f "$record"' EXIT

"$root/tools/demo_gdb.sh" "$build" "$record"
echo
echo "The session was recorded ($(wc -l < "$record") messages). Playing it back:"
echo "  vusk_threadx -file $record"
"$build/vusk_threadx" -file "$record"
