#!/usr/bin/env bash
# The whole job in under a minute, without hardware: read an ESC, update its firmware,
# change its setup. The ESC is the simulated one, in quorvel-cli's own process, talking
# in real time at 19200 baud as a real one would.
#   scripts/demo.sh [path/to/quorvel-cli]
set -euo pipefail
cd "$(dirname "$0")/.."
cli="${1:-build/release/cli/quorvel-cli}"
if [[ ! -x "$cli" ]]; then
    echo "demo: $cli not found; run 'make demo' (or 'make release') first" >&2
    exit 1
fi

if [[ -t 1 ]]; then bold=$'\033[1m' plain=$'\033[0m'; else bold='' plain=''; fi
say() { printf '\n%s$ %s%s\n' "$bold" "$*" "$plain"; }

say quorvel-cli --sim info
"$cli" --sim info

say quorvel-cli --sim flash
echo "(26 pages of 1 KB at 19200 baud: about 20 s)"
"$cli" --sim flash

say quorvel-cli --sim setup --mode 3d-fast
echo "(every run starts a fresh simulated ESC, so it reports its first version again)"
"$cli" --sim setup --mode 3d-fast

printf '\nDone. Try "%s --help", or "%s flash --sim --sim-fault program:missing@3".\n' \
    "$cli" "$cli"
