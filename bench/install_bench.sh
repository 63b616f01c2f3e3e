#!/bin/sh
# Install of a runtime of about 100 MiB (20,000 module files) end to end,
# through the client and the daemon, beside the same work done by hand:
# sha256sum of the archive, tar -xzf, sha256sum of every file, cp -a to a
# second tree, sync. Then where the install's time goes: the daemon of a test
# build is killed at the start of chosen steps (VELA_FAULT=...:kill) and the
# time to each is taken. Every run is a fresh sandbox, as root:
#
#   bench/install_bench.sh [BUILD-DIR] [RUNS]
set -eu

# One timing in a fresh sandbox: "install [POINT]" or "hand".
if [ "${1:-}" = --inside ]; then
  mode=$2 point=$3 release=$4
  cp -r "$release" /private/release && chmod -R a+rX /private/release
  now() { date +%s.%N; }
  if [ "$mode" = hand ]; then
    cd /private && start=$(now)
    sha256sum release/runtime.tar.gz >/dev/null && mkdir x && tar -xzf release/runtime.tar.gz -C x &&
      find x -type f -exec sha256sum {} + >/dev/null && cp -a x y && sync
  else
    useradd -m bench
    VELA_FAULT=$point vela-broker-helper 2>/dev/null &
    until runuser -u bench -- vela-helper-client status >/dev/null 2>&1; do sleep 0.05; done
    start=$(now)
    runuser -u bench -- vela-helper-client install /private/release/runtime.tar.gz \
      /private/release/envelope.json /private/release/vault-key >/dev/null 2>&1 || true
  fi
  awk -v start="$start" -v end="$(now)" 'BEGIN { printf "%.3f\n", end - start }'
  exit 0
fi

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
runs=${2:-3}
release=$build/install-bench

[ "$(id -u)" -eq 0 ] || { echo "install_bench: run as root (every run is a sandbox)" >&2; exit 1; }
if [ ! -f "$release/runtime.tar.gz" ]; then
  echo "making the runtime (20,000 modules) ..."
  node "$repo/tools/make-release.mjs" --out "$release" --version 1.0.0 --modules 20000 >/dev/null
fi
# timing MODE POINT
timing() { "$repo/scripts/sandbox" --install "$build" sh "$repo/bench/install_bench.sh" --inside "$1" "$2" "$release"; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "runtime: $(du -sb "$release/runtime" | cut -f1) bytes in $(find "$release/runtime" -type f | wc -l) files," \
  "archive $(stat -c %s "$release/runtime.tar.gz") bytes"
install=$(for i in $(seq "$runs"); do timing install ""; done | median)
hand=$(for i in $(seq "$runs"); do timing hand ""; done | median)
echo "install through the client: $install s   by hand: $hand s   ratio: $(awk "BEGIN { printf \"%.2f\", $install / $hand }")"

echo "where the install's time goes (seconds from the request to the start of each step):"
for step in 13 14 18 19 22 23 25 26 29 30 34 35; do
  printf '  step %s  %s\n' "$step" "$(for i in $(seq "$runs"); do timing install "install.step-$step:kill"; done | median)"
done
printf '  done     %s\n' "$install"
