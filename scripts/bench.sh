#!/usr/bin/env bash
# Runs every benchmark of a release build; each prints its peer's figures in the same run.
set -uo pipefail
build=${1:-build/release}
status=0
for b in $(find "$build" -maxdepth 3 -type f -executable -name 'bench_*' | sort); do
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2 || status=1
done
exit $status
