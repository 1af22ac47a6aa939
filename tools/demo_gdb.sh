#!/usr/bin/env bash
# The GDB host at work: GDB in batch on the test fixture (a stand-in ThreadX
# target), with the extension and the plugin of the build tree, prints every
# object table, the current thread and one suspended thread's registers.
#   tools/demo_gdb.sh [BUILD_DIR] [RECORD_FILE]
# With RECORD_FILE, every message between GDB and the plugin is recorded
# there, for `vusk_threadx -file RECORD_FILE` to play back.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
fixture=$build/vusk_gdb_fixture
if [ ! -x "$fixture" ] || [ ! -x "$build/vusk_threadx" ]; then
  cmake --build "$build" --target vusk_threadx vusk_gdb_fixture
fi

commands=(
  "set pagination off" "set width 0" "break *fixture_stop" "run"
  "source $root/host/gdb/vusk_gdb.py"
  "set threadx plugin $build/vusk_threadx"
  "set threadx config-dir $root/tests/gdb/config"
  "set threadx cpu-type 77 0"
  "echo @@@\\n"
)
record=${2:-}
[ -n "$record" ] && commands+=("threadx record $record")
for step in "current" "threads" "timers" "semaphores" "queues" "event-flags" "block-pools" \
            "byte-pools" "mutexes" "registers producer"; do
  commands+=("echo \\n(gdb) threadx $step\\n" "threadx $step")
done
[ -n "$record" ] && commands+=("threadx record off")
args=()
for c in "${commands[@]}"; do args+=(-ex "$c"); done

# GDB's own start-up lines (breakpoint, run) are cut; the rest is shown.
gdb -nx -batch "${args[@]}" "$fixture" 2>&1 | sed -n '/^@@@$/,$p' | tail -n +2
