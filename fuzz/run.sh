#!/usr/bin/env bash
# Runs one decoder's fuzz target for the given seconds, seeded from the class's
# stored images and past findings, growing build/fuzz/corpus/<target>. With
# FUZZ_RUNS=N it stops after N mutated inputs instead; 0 runs the stored seeds
# alone, the same inputs every time (CI's replay). Prints
# the last status line (executions, cov, ft, corpus) and the execution at which
# coverage last grew; on a finding prints the report's end, keeps the input
# under build/fuzz/findings and exits 1.
set -uo pipefail
target=$1
seconds=$2
build=${FUZZ_BUILD:-build/fuzz}
mkdir -p "$build/corpus/$target" "$build/findings"
seeds=("tests/data/formats/$target")
if [ -d "tests/data/fuzz/$target" ]; then seeds+=("tests/data/fuzz/$target"); fi
log="$build/$target.log"
if [ -n "${FUZZ_RUNS:-}" ]; then limit=(-runs="$FUZZ_RUNS"); else limit=(-max_total_time="$seconds"); fi
if "$build/$target" -rss_limit_mb=2048 -malloc_limit_mb=1024 -timeout=20 "${limit[@]}" \
     -artifact_prefix="$build/findings/$target-" "$build/corpus/$target" "${seeds[@]}" 2>"$log"; then
  last_new=$(grep -E '^#[0-9]+[[:space:]]+NEW' "$log" | tail -n 1 | cut -f1)
  printf '%-26s %s last NEW: %s\n' "$target" "$(grep -E '^#[0-9]+' "$log" | tail -n 1)" "${last_new:-none}"
else
  echo "== $target: finding (log: $log)"
  tail -n 60 "$log"
  exit 1
fi
