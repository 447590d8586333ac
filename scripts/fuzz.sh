#!/usr/bin/env bash
# Runs every libFuzzer target of a build for a bounded time, a few at once, each from its seed corpus
# fuzz/<folder>/<name>.corpus, and prints how many inputs each one ran.
# FUZZ_SECONDS: time per target (default 20). JOBS: targets at once (default 2).
# FUZZ_KEEP=1: inputs that reach code the seeds do not are merged into the seed corpus, to be committed.
set -uo pipefail
build=${1:-build/dev}
secs=${FUZZ_SECONDS:-20}
jobs=${JOBS:-2}
keep=${FUZZ_KEEP:-0}
root=$(cd "$(dirname "$0")/.." && pwd)

# Target name -> corpus folder, from the sources: fuzz/ui/library/x.cpp builds fuzz_ui_library_x.
declare -A corpus
while IFS= read -r src; do
  rel=${src#"$root"/fuzz/}
  folder=$(dirname "$rel"); name=$(basename "$rel" .cpp)
  corpus["fuzz_${folder//\//_}_$name"]="$root/fuzz/$folder/$name.corpus"
done < <(find "$root/fuzz" -name '*.cpp' | sort)

mapfile -t targets < <(find "$build" -maxdepth 3 -type f -executable -name 'fuzz_*' | sort)
[ ${#targets[@]} -eq 0 ] && { echo "fuzz: no targets"; exit 0; }

run_one() {
  t=$1; name=$(basename "$t"); seeds=$2; work=$(mktemp -d)
  [ -d "$seeds" ] || seeds=""
  found="$root/build/fuzz-findings/$name"; rm -rf "$found"; mkdir -p "$found"
  if "$t" -max_total_time="$secs" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 -artifact_prefix="$found/" \
      "$work" $seeds >"$work.log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work.log" | tail -1)
    added=""
    if [ "$keep" = 1 ] && [ "$2" != none ]; then
      mkdir -p "$2"
      before=$(find "$2" -type f | wc -l)
      # Only inputs that reach code the corpus does not reach yet are kept, as few as cover it.
      "$t" -set_cover_merge=1 -use_counters=0 -rss_limit_mb=2048 -timeout=10 "$2" "$work" >"$work.merge" 2>&1
      added=", $(( $(find "$2" -type f | wc -l) - before )) new corpus entries"
    fi
    echo "fuzz: $name ok, ${runs:-?} executions$added"; rm -rf "$work" "$work.log" "$work.merge"
  else
    echo "fuzz: $name FAILED"; tail -40 "$work.log"
    # The input that failed stays on disk and its first bytes go to the log, so a CI run shows it.
    for f in "$found"/*; do
      [ -f "$f" ] || continue
      echo "fuzz: failing input kept at $f ($(stat -c %s "$f") bytes), first bytes:"
      head -c 256 "$f" | od -A x -t x1z | head -16
    done
    return 1
  fi
}
export -f run_one; export secs keep root

lines=()
for t in "${targets[@]}"; do lines+=("$t ${corpus[$(basename "$t")]:-none}"); done
results=$(printf '%s\n' "${lines[@]}" | xargs -P "$jobs" -L 1 bash -c 'run_one "$0" "$1"')
echo "$results"
passed=$(grep -c ' ok, ' <<<"$results")
failed=$(( ${#targets[@]} - passed ))
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
