#!/usr/bin/env bash
# The running window as a process: starts `plindo` on its own virtual display with two generated tracks and
# prints the share of one core its process used over 10 s each while idle, while both decks play, while a
# fake phone on the loopback address streams platter frames to deck 1, and while it streams frames and its raw
# records (which make deck 1's placement tile draw the phone turning).
# Given a reference build, runs its `plindo` beside the first one, each on its own display with its own phone,
# and measures both over the same seconds, so a loaded machine weighs on both alike.
# Usage: bench/ui/process_cpu.sh [build dir, default build/release] [seconds per figure, default 10]
#                                [reference build dir]
set -euo pipefail
build=${1:-build/release}
seconds=${2:-10}
reference=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
builds=("$build")
[ -n "$reference" ] && builds+=("$reference")
for b in "${builds[@]}"; do
  [ -x "$b/app/plindo" ] || { echo "process_cpu: no $b/app/plindo; build the release preset first" >&2; exit 1; }
done
for tool in Xvfb ffmpeg curl python3; do
  command -v "$tool" >/dev/null || { echo "process_cpu: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d)
xvfb_pids=()
host_pids=()
osc_ports=()
http_ports=()
cleanup() {
  local p
  for p in "${host_pids[@]}" "${xvfb_pids[@]}"; do
    kill "$p" 2>/dev/null && wait "$p" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Two minutes of a beat over a tone each, as FLAC, in the music folder the library reads.
mkdir -p "$work/Music"
for n in a b; do
  freq=$([ $n = a ] && echo 220 || echo 330)
  ffmpeg -loglevel error -f lavfi -i "sine=frequency=$freq:beep_factor=4:duration=120" -ac 2 -ar 44100 \
    "$work/Music/$n.flac"
done

# Starts build `i` in a home of its own: a display, free ports (the settings file names the phone port, the
# command line the HTTP one) and the window with both tracks.
launch() {
  local i=$1 home=$work/run$1 display= osc http
  read -r osc http < <(python3 -c '
import socket
def free(kind):
    s = socket.socket(socket.AF_INET, kind); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close(); return p
print(free(socket.SOCK_DGRAM), free(socket.SOCK_STREAM))')
  mkdir -p "$home/config/plindo"
  printf '{"orv.oscPort": %d}\n' "$osc" >"$home/config/plindo/settings.json"
  # -displayfd writes the first free number.
  Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$home/display" >"$home/xvfb.log" 2>&1 &
  xvfb_pids+=($!)
  for _ in $(seq 50); do
    display=$(head -n1 "$home/display" 2>/dev/null || true)
    [ -n "$display" ] && break
    sleep 0.1
  done
  [ -n "$display" ] || { echo "process_cpu: Xvfb did not start" >&2; exit 1; }
  HOME=$home XDG_CONFIG_HOME=$home/config DISPLAY=:$display \
    "${builds[$i]}/app/plindo" --deck1 "$work/Music/a.flac" --deck2 "$work/Music/b.flac" --http-port "$http" \
    >"$home/plindo.log" 2>&1 &
  host_pids+=($!)
  osc_ports+=("$osc")
  http_ports+=("$http")
}
for i in "${!builds[@]}"; do launch "$i"; done
sleep 5  # the windows show, the tracks decode, the first frames settle
for i in "${!builds[@]}"; do
  kill -0 "${host_pids[$i]}" 2>/dev/null ||
    { echo "process_cpu: plindo of ${builds[$i]} ended early:" >&2; cat "$work/run$i/plindo.log" >&2; exit 1; }
done

ticks=$(getconf CLK_TCK)
# utime + stime of a stat file, in clock ticks (the name in parentheses may hold spaces).
cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "$1"; }
# The share of process $1 and of its main (window) thread, over `seconds`.
share() {
  local pid=$1 p0 p1 m0 m1
  p0=$(cpu_ticks "/proc/$pid/stat")
  m0=$(cpu_ticks "/proc/$pid/task/$pid/stat")
  sleep "$seconds"
  p1=$(cpu_ticks "/proc/$pid/stat")
  m1=$(cpu_ticks "/proc/$pid/task/$pid/stat")
  awk -v p=$((p1 - p0)) -v m=$((m1 - m0)) -v hz="$ticks" -v s="$seconds" \
    'BEGIN { printf "%5.1f %% (window thread %4.1f %%)", 100 * p / hz / s, 100 * m / hz / s }'
}
# Every build's share over the same seconds, into $work/share<i>.
share_all() {
  local i pids=()
  for i in "${!builds[@]}"; do
    share "${host_pids[$i]}" >"$work/share$i" &
    pids+=($!)
  done
  wait "${pids[@]}"
}
# `cmd` with `deck` on every build's control route.
ctl_all() {
  local i
  for i in "${!builds[@]}"; do
    curl -s --max-time 5 "http://127.0.0.1:${http_ports[$i]}/ctl?cmd=$1&deck=$2" >/dev/null || true
  done
}
# A fake phone on deck 1 of every build for `seconds` (and a margin), with "raw" also its raw records.
phones_all() {
  local i
  phone_pids=()
  for i in "${!builds[@]}"; do
    python3 "$here/fake_phone.py" 127.0.0.1 "${osc_ports[$i]}" 1 $((seconds + 3)) "$@" &
    phone_pids+=($!)
  done
}

# Every thread's ticks of process $1, one "name ticks" line each.
thread_ticks() {
  for t in /proc/"$1"/task/*; do
    printf '%s %s\n' "$(tr ' ' '_' <"$t/comm")" "$(cpu_ticks "$t/stat")"
  done 2>/dev/null | sort
}
before=$(thread_ticks "${host_pids[0]}")
share_all
idle=("$(cat "$work/share0")" "$(cat "$work/share1" 2>/dev/null || true)")
# Where the first build's idle share goes, by thread name (threads of one name summed), busiest first.
idle_threads=$(join <(echo "$before" | awk '{ t[$1] += $2 } END { for (n in t) print n, t[n] }' | sort) \
  <(thread_ticks "${host_pids[0]}" | awk '{ t[$1] += $2 } END { for (n in t) print n, t[n] }' | sort) |
  awk -v hz="$ticks" -v s="$seconds" '$3 > $2 { printf "%s %.2f\n", $1, 100 * ($3 - $2) / hz / s }' |
  sort -k2 -rn | head -n 6 | awk '{ printf "%s%s %s %%", (NR > 1 ? ", " : ""), $1, $2 }')
ctl_all play 1
ctl_all play 2
sleep 1
share_all
playing=("$(cat "$work/share0")" "$(cat "$work/share1" 2>/dev/null || true)")
ctl_all play 1
ctl_all play 2
sleep 1
phones_all
sleep 1
share_all
streaming=("$(cat "$work/share0")" "$(cat "$work/share1" 2>/dev/null || true)")
wait "${phone_pids[@]}" || true
phones_all raw
sleep 1
share_all
raw=("$(cat "$work/share0")" "$(cat "$work/share1" 2>/dev/null || true)")
wait "${phone_pids[@]}" || true

# One figure: the build's, then the reference's when there is one.
row() {
  local what=$1 goal=$2 ours=$3 theirs=$4
  if [ -n "$reference" ]; then
    printf '%-40s %s  reference %s  goal <= %s %%\n' "$what" "$ours" "$theirs" "$goal"
  else
    printf '%-40s %s  goal <= %s %%\n' "$what" "$ours" "$goal"
  fi
}
[ -n "$reference" ] && printf '%-40s %s, reference %s\n' "builds" "$build" "$reference"
row "window idle, both decks stopped" 2 "${idle[0]}" "${idle[1]}"
printf '%-40s %s\n' "  idle by thread" "${idle_threads:-none measurable}"
row "both decks playing" 15 "${playing[0]}" "${playing[1]}"
row "a phone streaming frames to deck 1" 15 "${streaming[0]}" "${streaming[1]}"
row "  and its raw records at 50 Hz" 8 "${raw[0]}" "${raw[1]}"
