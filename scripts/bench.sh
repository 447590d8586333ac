#!/usr/bin/env bash
# Runs every benchmark of a release build; each prints its peer's figures in the same run.
set -uo pipefail
build=${1:-build/release}
status=0
for b in $(find "$build" -maxdepth 3 -type f -executable -name 'bench_*' | sort); do
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2 || status=1
done
# The running window as a process (about 45 s): idle, playing and streaming CPU shares.
if command -v Xvfb >/dev/null && [ -x "$build/app/plindo" ]; then
  echo "== process_cpu"
  bash "$(dirname "$0")/../bench/ui/process_cpu.sh" "$build" || status=1
fi
exit $status
