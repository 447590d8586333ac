#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/packages.txt that are not installed yet.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
missing=()
while read -r pkg; do
  pkg=${pkg%%#*}; pkg=$(echo "$pkg" | xargs)
  [ -z "$pkg" ] && continue
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
done < "$here/packages.txt"
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

# On a fresh machine the daily package job often holds apt's locks for a few minutes after boot: wait for
# them (up to PLINDO_APT_LOCK_WAIT seconds) instead of failing, and say so.
lock_wait=${PLINDO_APT_LOCK_WAIT:-300}
retry_every=${PLINDO_APT_RETRY_SEC:-5}
apt_waiting() {
  local err said="" start=$SECONDS
  err=$(mktemp)
  while :; do
    if "$@" 2>"$err"; then
      cat "$err" >&2; rm -f "$err"; return 0
    fi
    if ! grep -q "Could not get lock" "$err" || [ $((SECONDS - start)) -ge "$lock_wait" ]; then
      cat "$err" >&2; rm -f "$err"; return 1
    fi
    if [ -z "$said" ]; then
      echo "waiting for the package manager (up to ${lock_wait} s): $(grep -m1 "Could not get lock" "$err")"
      said=1
    fi
    sleep "$retry_every"
  done
}
apt_waiting $sudo apt-get update -qq
apt_waiting $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
