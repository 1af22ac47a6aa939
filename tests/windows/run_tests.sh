#!/usr/bin/env bash
# Runs the Windows checks (wine_test.py) under Wine.
#
# Usage: tests/windows/run_tests.sh WINDOWS_BUILD [LINUX_BUILD]
#
# The prefix is made afresh under the Windows build tree on every run, so no
# state of an earlier run (or of the user's own Wine) leaks in. One wineserver
# is kept up for the whole run: each Wine process then starts in a fraction
# of a second instead of seconds. The Linux build (default build/) is the
# reference for record playback.
set -euo pipefail
cd "$(dirname "$0")/../.."

windows_build=$(realpath "${1:?usage: $0 WINDOWS_BUILD [LINUX_BUILD]}")
linux_build=$(realpath "${2:-build}")

# Debian's wine64 package installs its programs outside PATH.
find_wine_program() {
  command -v "$1" 2>/dev/null && return
  for candidate in /usr/lib/wine/"$1" /usr/lib/wine/"${1%64}"; do
    if [ -x "$candidate" ]; then echo "$candidate"; return; fi
  done
  echo "run_tests: $1 not found (install wine64)" >&2
  return 1
}

wine=$(find_wine_program wine64)
wineserver=$(find_wine_program wineserver)

export WINEPREFIX="$windows_build/wineprefix"
export WINEDEBUG=-all
# No Mono or Gecko prompt while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
"$wineserver" -p
trap '"$wineserver" -k 2>/dev/null || true' EXIT
"$wine" wineboot -i >/dev/null 2>&1

VUSK_WINE="$wine" VUSK_WIN_BUILD="$windows_build" VUSK_LINUX_PLUGIN="$linux_build/vusk_threadx" \
  python3 tests/windows/wine_test.py
