#!/bin/sh
# Resident memory of the daemon with many foreground channels open on one
# generation: a runtime with MODULES module files (its custody inventory
# about 290 bytes a file) is installed through the client, then CHANNELS
# clients each open a channel and hold their connection (their next request
# waits on a FIFO). Prints the daemon's VmRSS before and with the channels
# open. In a fresh sandbox, as root:
#
#   bench/foreground_memory.sh [BUILD-DIR] [CHANNELS] [MODULES]
set -eu

if [ "${1:-}" = --inside ]; then
  release=$2 channels=$3
  work=/private/foreground-bench
  mkdir -m 0755 "$work" && cp -r "$release" "$work/release" && chmod -R a+rX "$work"
  mkfifo -m 0666 "$work/hold"
  useradd -m bench
  client() { runuser -u bench -- vela-helper-client "$@"; }
  rss() { awk '/^VmRSS/ { print $2 }' "/proc/$daemon/status"; }
  vela-broker-helper 2>/dev/null &
  daemon=$!
  until client status >/dev/null 2>&1; do sleep 0.05; done
  client install "$work/release/runtime.tar.gz" "$work/release/envelope.json" "$work/release/vault-key" >/dev/null
  generation=$(sha256sum "$work/release/runtime.tar.gz" | cut -c1-64)
  client foreground_open "$generation" >/dev/null
  before=$(rss)
  for i in $(seq "$channels"); do
    client foreground_open "$generation" -- send u:protocolVersion=3 s:operation=status "d:x=$work/hold" \
      >"$work/out-$i" 2>/dev/null &
  done
  until [ "$(cat "$work"/out-* | grep -c '"ok":true')" -eq "$channels" ]; do sleep 0.2; done
  with=$(rss)
  echo "inventory: $(stat -c %s /private/var/db/vela-broker-custody/versions/"$generation"/.custody-inventory.json) bytes"
  echo "daemon VmRSS: $before KiB before, $with KiB with $channels channels open:" \
    "$(( (with - before) / 1024 )) MiB more"
  exit 0  # the sandbox ends the daemon and the waiting clients
fi

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
channels=${2:-300}
modules=${3:-5000}
release=$build/foreground-bench-$modules

[ "$(id -u)" -eq 0 ] || { echo "foreground_memory: run as root (it runs in a sandbox)" >&2; exit 1; }
[ -f "$release/runtime.tar.gz" ] ||
  node "$repo/tools/make-release.mjs" --out "$release" --version 1.0.0 --modules "$modules" >/dev/null
"$repo/scripts/sandbox" --install "$build" sh "$repo/bench/foreground_memory.sh" --inside "$release" "$channels"
