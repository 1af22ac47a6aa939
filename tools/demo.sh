#!/usr/bin/env bash
# make demo: plays back the bundled record of a short debugging session and
# shows what passed between host and plugin.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
record=$root/tests/records/demo/session.rec
plugin=$build/vusk_threadx

echo "A recorded session between the debugger (PLISK) and the plugin (PLUGIN):"
echo
# Long messages are cut for the screen; the file holds them whole.
cut -c1-150 "$record" | sed -e 's/^/  /'
echo
echo "Playing it back: $plugin -file tests/records/demo/session.rec"
"$plugin" -file "$record"
