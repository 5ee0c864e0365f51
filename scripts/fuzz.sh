#!/bin/sh
# Builds the libFuzzer targets with clang in BUILD_DIR, replays the committed
# seed corpora, then fuzzes each target for SECONDS on a working copy of its
# corpus under BUILD_DIR (the repository is never written). Fails on any
# crash, leak, time-out or sanitizer report; inputs that broke a target are
# kept under BUILD_DIR/fuzz-artifacts/TARGET/.
#
#   scripts/fuzz.sh BUILD_DIR SECONDS
set -eu

if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR SECONDS" >&2
  exit 2
fi
case "$2" in
  '' | *[!0-9]*)
    echo "$0: SECONDS must be a whole number" >&2
    exit 2
    ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
build=$(cd "$1" && pwd)
seconds=$2
targets="address verdict answer"
# Bounds for one input and the whole process, far above what the targets need.
per_input_timeout=10
rss_limit_mb=2048
max_len=4096

export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-}:print_stacktrace=1:halt_on_error=1"

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNEX_FUZZ=ON -DBUILD_TESTING=OFF \
  -DVORNEX_INTEGRATION=OFF >"$build/fuzz-configure.log" 2>&1 || {
  cat "$build/fuzz-configure.log" >&2
  exit 1
}
cmake --build "$build" -j "${JOBS:-$(nproc)}" --target fuzz_address fuzz_verdict fuzz_answer

# Succeeds when the libFuzzer log in $1 shows no crash or sanitizer report.
log_is_clean() {
  ! grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:|==[0-9]+== ?ERROR|SUMMARY: |^fuzz_[a-z]+: ' "$1"
}

failed=""
summary=""
for t in $targets; do
  bin="$build/tests/fuzz/fuzz_$t"
  seeds="$root/tests/fuzz/corpus/$t"
  work="$build/fuzz-corpus/$t"
  artifacts="$build/fuzz-artifacts/$t"
  replay_log="$build/fuzz-$t-replay.log"
  fuzz_log="$build/fuzz-$t.log"
  rm -rf "$work" "$artifacts"
  mkdir -p "$work" "$artifacts"
  cp "$seeds"/* "$work"/
  seed_count=$(find "$seeds" -mindepth 1 -maxdepth 1 | wc -l)

  # Every committed seed, one after the other.
  if "$bin" -timeout=$per_input_timeout -rss_limit_mb=$rss_limit_mb \
    -artifact_prefix="$artifacts/" "$seeds"/* >"$replay_log" 2>&1 &&
    log_is_clean "$replay_log"; then
    :
  else
    echo "fuzz_$t: corpus replay FAILED ($replay_log)" >&2
    tail -n 40 "$replay_log" >&2
    failed="$failed $t"
    summary="$summary
fuzz_$t: replay of $seed_count seeds FAILED"
    continue
  fi

  if "$bin" -max_total_time="$seconds" -timeout=$per_input_timeout \
    -rss_limit_mb=$rss_limit_mb -max_len=$max_len -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$work" >"$fuzz_log" 2>&1 &&
    log_is_clean "$fuzz_log"; then
    status=ok
  else
    status=FAILED
    echo "fuzz_$t: fuzzing FAILED ($fuzz_log)" >&2
    tail -n 60 "$fuzz_log" >&2
    failed="$failed $t"
  fi
  # The last status line libFuzzer printed, e.g. "#123 DONE cov: 40 ft: 90
  # corp: 30/1200b ...", and its count of executed inputs.
  last=$(grep -E '^#[0-9]+' "$fuzz_log" | tail -n 1 || true)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$fuzz_log")
  cov=$(echo "$last" | sed -n 's/.* cov: \([0-9]*\).*/\1/p')
  ft=$(echo "$last" | sed -n 's/.* ft: \([0-9]*\).*/\1/p')
  corp=$(echo "$last" | sed -n 's/.* corp: \([^ ]*\).*/\1/p')
  summary="$summary
fuzz_$t: $status, $seed_count seeds replayed, ${execs:-?} executions in ${seconds}s, cov ${cov:-?}, ft ${ft:-?}, corpus ${corp:-?}"
done

echo "$summary" | sed '/^$/d'
if [ -n "$failed" ]; then
  echo "fuzzing failed for:$failed; inputs kept in $build/fuzz-artifacts/" >&2
  exit 1
fi
