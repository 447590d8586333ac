#!/usr/bin/env bash
# Runs every libFuzzer target of a build for a bounded time, a few at once.
set -uo pipefail
build=${1:-build/dev}
secs=${FUZZ_SECONDS:-20}
jobs=${JOBS:-2}
root=$(cd "$(dirname "$0")/.." && pwd)
mapfile -t targets < <(find "$build" -maxdepth 3 -type f -executable -name 'fuzz_*' | sort)
[ ${#targets[@]} -eq 0 ] && { echo "fuzz: no targets"; exit 0; }
run_one() {
  t=$1; name=$(basename "$t"); work=$(mktemp -d)
  seeds=""
  for d in "$root"/fuzz/*/"${name#fuzz_*_}".corpus "$root"/fuzz/*/*/"${name#fuzz_*_*_}".corpus; do [ -d "$d" ] && seeds="$d"; done
  if "$t" -max_total_time="$secs" -rss_limit_mb=2048 -timeout=10 -print_final_stats=0 "$work" $seeds >"$work.log" 2>&1; then
    echo "fuzz: $name ok"; rm -rf "$work" "$work.log"
  else
    echo "fuzz: $name FAILED"; tail -40 "$work.log"; return 1
  fi
}
export -f run_one; export secs root
results=$(printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one {}')
echo "$results"
passed=$(grep -c ' ok$' <<<"$results")
failed=$(( ${#targets[@]} - passed ))
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
