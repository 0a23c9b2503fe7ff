#!/usr/bin/env bash
# Builds the fuzzer's seed corpus: small valid archives packed by the built tovra,
# plus the one archive it never writes (a directory with only the terminator).
# Usage: make_seeds.sh <tovra binary> <corpus directory>
set -euo pipefail
if [ $# -ne 2 ]; then
    echo "usage: $0 <tovra binary> <corpus directory>" >&2
    exit 2
fi
tovra=$(realpath "$1")
corpus=$(mkdir -p "$2" && realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Packs the named files (already in $work/src) into corpus/<seed>.tvr.
pack() {
    local seed=$1 pattern=$2
    (cd src && "$tovra" 0 "$corpus/$seed.tvr" "$pattern" >/dev/null </dev/null)
}

fresh_src() {
    rm -rf src && mkdir src
}

fixed_times() {
    touch -d @1000000000 src/* 2>/dev/null || true
}

fresh_src
printf 'abc' >src/a.txt
fixed_times
pack one-small a.txt

fresh_src
: >src/empty
fixed_times
pack one-empty empty

fresh_src
printf 'first file\n' >src/one.txt
printf 'second file, a little longer\n' >src/two.txt
printf 'x' >src/three.dat
fixed_times
pack three '*'

fresh_src
# Longer than one 4096-byte codec buffer, and text that compresses well.
for i in $(seq 1 600); do echo "line $i of a file that spans several buffers"; done >src/long.txt
fixed_times
pack one-long long.txt

fresh_src
# Incompressible bytes, the same on every run.
LC_ALL=C awk 'BEGIN { srand(7); for (i = 0; i < 5000; i++) printf "%c", int(rand() * 256) }' >src/noise.bin
fixed_times
pack one-noise noise.bin

fresh_src
name=$(printf 'n%.0s' $(seq 1 79))
printf 'longest name' >"src/$name"
fixed_times
pack longest-name "$name"

fresh_src
for i in 1 2 3 4 5 6 7 8; do printf 'file %d\n' "$i" >"src/f$i"; done
: >src/f0
fixed_times
pack nine-files 'f?'

# The directory terminator alone: an archive of no files.
{
    head -c 80 /dev/zero
    printf '\377\377\377\377\000\000\000\000'
} >"$corpus/terminator-only.tvr"

ls "$corpus" | wc -l | xargs printf 'seeds in %s: %s\n' "$corpus"
