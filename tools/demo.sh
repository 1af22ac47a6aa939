#!/usr/bin/env bash
# make demo: shows the plugin at work on a bundled default.
set -euo pipefail
build=${1:-build}
echo "vusk_threadx is being built up issue by issue; the demo grows with it."
ls "$build"
