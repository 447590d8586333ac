#!/usr/bin/env bash
# The running window as a process: starts `plindo` on its own virtual display with two generated tracks and
# prints the share of one core its process used over 10 s each while idle, while both decks play, and while
# a fake phone on the loopback address streams platter frames to deck 1.
# Usage: bench/ui/process_cpu.sh [build dir, default build/release] [seconds per figure, default 10]
set -euo pipefail
build=${1:-build/release}
seconds=${2:-10}
here=$(cd "$(dirname "$0")" && pwd)
plindo=$build/app/plindo
[ -x "$plindo" ] || { echo "process_cpu: no $plindo; build the release preset first" >&2; exit 1; }
for tool in Xvfb ffmpeg curl python3; do
  command -v "$tool" >/dev/null || { echo "process_cpu: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d)
xvfb_pid=
host_pid=
cleanup() {
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
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

# Ports nobody else uses: the settings file of this run names the phone port, the command line the HTTP one.
read -r osc_port http_port < <(python3 -c '
import socket
def free(kind):
    s = socket.socket(socket.AF_INET, kind); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close(); return p
print(free(socket.SOCK_DGRAM), free(socket.SOCK_STREAM))')
mkdir -p "$work/config/plindo"
printf '{"orv.oscPort": %d}\n' "$osc_port" >"$work/config/plindo/settings.json"

# A display of its own; -displayfd writes the first free number.
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
display=
for _ in $(seq 50); do
  display=$(head -n1 "$work/display" 2>/dev/null || true)
  [ -n "$display" ] && break
  sleep 0.1
done
[ -n "$display" ] || { echo "process_cpu: Xvfb did not start" >&2; exit 1; }

HOME=$work XDG_CONFIG_HOME=$work/config DISPLAY=:$display \
  "$plindo" --deck1 "$work/Music/a.flac" --deck2 "$work/Music/b.flac" --http-port "$http_port" \
  >"$work/plindo.log" 2>&1 &
host_pid=$!
sleep 5  # the window shows, the tracks decode, the first frames settle
kill -0 "$host_pid" 2>/dev/null || { echo "process_cpu: plindo ended early:" >&2; cat "$work/plindo.log" >&2; exit 1; }

ticks=$(getconf CLK_TCK)
# utime + stime of a stat file, in clock ticks (the name in parentheses may hold spaces).
cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "$1"; }
# The process's share and its main (window) thread's, over `seconds`.
share() {
  local p0 p1 m0 m1
  p0=$(cpu_ticks "/proc/$host_pid/stat")
  m0=$(cpu_ticks "/proc/$host_pid/task/$host_pid/stat")
  sleep "$seconds"
  p1=$(cpu_ticks "/proc/$host_pid/stat")
  m1=$(cpu_ticks "/proc/$host_pid/task/$host_pid/stat")
  awk -v p=$((p1 - p0)) -v m=$((m1 - m0)) -v hz="$ticks" -v s="$seconds" \
    'BEGIN { printf "%6.1f %% of one core (window thread %4.1f %%)", 100 * p / hz / s, 100 * m / hz / s }'
}
ctl() { curl -s --max-time 5 "http://127.0.0.1:$http_port/ctl?cmd=$1&deck=$2" >/dev/null || true; }

# Every thread's ticks, one "name ticks" line each.
thread_ticks() {
  for t in /proc/"$host_pid"/task/*; do
    printf '%s %s\n' "$(tr ' ' '_' <"$t/comm")" "$(cpu_ticks "$t/stat")"
  done 2>/dev/null | sort
}
before=$(thread_ticks)
idle=$(share)
# Where the idle share goes, by thread name (threads of one name summed), busiest first.
idle_threads=$(join <(echo "$before" | awk '{ t[$1] += $2 } END { for (n in t) print n, t[n] }' | sort) \
  <(thread_ticks | awk '{ t[$1] += $2 } END { for (n in t) print n, t[n] }' | sort) |
  awk -v hz="$ticks" -v s="$seconds" '$3 > $2 { printf "%s %.2f\n", $1, 100 * ($3 - $2) / hz / s }' |
  sort -k2 -rn | head -n 6 | awk '{ printf "%s%s %s %%", (NR > 1 ? ", " : ""), $1, $2 }')
ctl play 1
ctl play 2
sleep 1
playing=$(share)
ctl play 1
ctl play 2
sleep 1
python3 "$here/fake_phone.py" 127.0.0.1 "$osc_port" 1 $((seconds + 3)) &
phone_pid=$!
sleep 1
streaming=$(share)
wait "$phone_pid" || true

printf '%-36s %s  goal <= 2 %%\n' "window idle, both decks stopped" "$idle"
printf '%-36s %s\n' "  idle by thread" "${idle_threads:-none measurable}"
printf '%-36s %s  goal <= 15 %%\n' "both decks playing" "$playing"
printf '%-36s %s  goal <= 15 %%\n' "a phone streaming frames to deck 1" "$streaming"
