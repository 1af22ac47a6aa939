#!/usr/bin/env bash
# Runs every fuzz target of build-fuzz/ for FUZZ_SECONDS each (default 60),
# then prints what each one did: executions, executions per second of the
# run, and per second of the processor time it was given (on a loaded
# machine the two differ).
#
#   fuzz/run.sh [BUILD_DIR] [TARGET...]     FUZZ_SECONDS=600 fuzz/run.sh build-fuzz fuzz_dispatch
#
# Corpora grow in BUILD_DIR/corpus/<target> and survive between runs (a long
# run picks up where the last one stopped); seeds are laid anew each time by
# fuzz/make_seeds.py, and the JSON test corpus beside the repository is read
# in place when it is there. A crash, leak, hang (-timeout) or sanitizer
# report leaves its input in BUILD_DIR/artifacts/ and makes this script fail.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-fuzz}
shift || true
seconds=${FUZZ_SECONDS:-60}
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_json_parse fuzz_dispatch fuzz_framing fuzz_attr_file fuzz_eval)
json_suite=$root/../shared/corpus/JSONTestSuite

python3 "$root/fuzz/make_seeds.py" "$build/seeds" || exit 1
mkdir -p "$build/artifacts"

# Extra corpus directories (read only) and the dictionary of each target.
extra_dirs() {
  case $1 in
    fuzz_json_parse|fuzz_dispatch)
      if [ -d "$json_suite/test_parsing" ]; then
        echo "$json_suite/test_parsing"
      else
        echo "fuzz: $json_suite absent; $1 runs on the repository's seeds only" >&2
      fi ;;
  esac
}
dictionary() {
  case $1 in
    fuzz_json_parse|fuzz_dispatch|fuzz_framing) echo "$root/fuzz/dict/json.dict" ;;
    fuzz_attr_file) echo "$root/fuzz/dict/attr_file.dict" ;;
    fuzz_eval) echo "$root/fuzz/dict/eval.dict" ;;
  esac
}
# Longest input of each target. A run costs about its length, and a few
# messages, a short record or a small file reach every path: the parser alone
# keeps room for a whole message buffer (nesting, long texts). Longer seeds
# are cut to this.
max_len() {
  case $1 in
    fuzz_json_parse) echo 65536 ;;
    fuzz_dispatch) echo 1536 ;;
    fuzz_attr_file) echo 2048 ;;
    fuzz_framing|fuzz_eval) echo 4096 ;;
  esac
}

failed=()
summary=()
for target in "${targets[@]}"; do
  binary=$build/$target
  if [ ! -x "$binary" ]; then
    echo "fuzz: $binary not built" >&2
    failed+=("$target")
    continue
  fi
  corpus=$build/corpus/$target
  log=$build/$target.log
  mkdir -p "$corpus"
  echo "== $target: $seconds s"
  # One message per input is plenty: parse errors and playback reports are
  # expected, crashes are what we look for. ASan's own options stay as the
  # program sets them (allocator_may_return_null: out of memory is the
  # program's fatal report, not a sanitizer abort).
  TIMEFORMAT="%U %S"
  # shellcheck disable=SC2046
  cpu=$( { time "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 -max_len="$(max_len "$target")" \
      -print_final_stats=1 -close_fd_mask=3 -dict="$(dictionary "$target")" \
      -artifact_prefix="$build/artifacts/$target-" \
      "$corpus" "$build/seeds/$target" $(extra_dirs "$target") >"$log" 2>&1; } 2>&1 )
  status=$?
  if [ $status -ne 0 ]; then
    failed+=("$target")
    tail -n 60 "$log"
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  summary+=("$(awk -v t="$target" -v n="${execs:-0}" -v s="$seconds" -v c="$cpu" 'BEGIN {
    split(c, p, " "); busy = p[1] + p[2]
    printf "%-16s %10d execs %8.0f execs/s %8.0f per CPU second", t, n, (s > 0 ? n / s : 0), (busy > 0 ? n / busy : 0) }')")
done

echo "== fuzz: $seconds s per target (load average $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null))"
for line in "${summary[@]}"; do echo "$line"; done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: FAILED: ${failed[*]} (inputs in $build/artifacts/, logs in $build/<target>.log)"
  exit 1
fi
echo "fuzz: all ${#targets[@]} targets ran ${seconds} s each without a finding"
