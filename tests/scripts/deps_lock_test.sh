#!/usr/bin/env bash
# scripts/deps.sh against a fake apt: a held lock is waited for and named, any other failure ends at once,
# and a lock held past the limit fails. Argument: the source folder.
set -uo pipefail
src=${1:?source folder}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
# Every package is missing; sudo runs its command as it is.
printf '#!/bin/sh\nexit 1\n' > "$work/bin/dpkg-query"
printf '#!/bin/sh\nexec "$@"\n' > "$work/bin/sudo"
# apt-get fails LOCKED times with apt's lock message (or once with MESSAGE), then succeeds; calls are counted.
cat > "$work/bin/apt-get" <<'FAKE'
#!/bin/sh
n=$(cat "$CALLS" 2>/dev/null || echo 0); echo $((n + 1)) > "$CALLS"
if [ "$n" -lt "$LOCKED" ]; then
  echo "E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 612 (unattended-upgr)" >&2; exit 100
fi
if [ -n "${MESSAGE:-}" ]; then echo "$MESSAGE" >&2; exit 100; fi
exit 0
FAKE
chmod +x "$work/bin/"*
failures=0
run() {  # name, expected status, expected output pattern, unwanted pattern, environment...
  local name=$1 want=$2 seen=$3 unseen=$4; shift 4
  rm -f "$work/calls"
  out=$(env PATH="$work/bin:$PATH" CALLS="$work/calls" PLINDO_APT_RETRY_SEC=0.05 "$@" bash "$src/scripts/deps.sh" 2>&1)
  status=$?
  if [ "$status" -ne "$want" ] || ! grep -q -- "$seen" <<<"$out" || { [ -n "$unseen" ] && grep -q -- "$unseen" <<<"$out"; }; then
    echo "FAIL $name: status $status (wanted $want); output:"; echo "$out"; failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}
run "a held lock is waited for, said once, and the install goes on" 0 \
  "waiting for the package manager (up to 300 s): E: Could not get lock /var/lib/dpkg/lock-frontend" "" LOCKED=3
[ "$(cat "$work/calls")" = 5 ] || { echo "FAIL apt-get ran $(cat "$work/calls") times, wanted 3 waits, update and install"; failures=$((failures + 1)); }
[ "$(grep -c waiting <<<"$out")" = 1 ] || { echo "FAIL the wait was said more than once"; failures=$((failures + 1)); }
run "another failure ends at once" 1 "Unable to locate package" "waiting" LOCKED=0 "MESSAGE=E: Unable to locate package nosuch"
run "a lock held past the limit fails with apt's line" 1 "Could not get lock" "" LOCKED=1000 PLINDO_APT_LOCK_WAIT=1
exit $((failures > 0))
