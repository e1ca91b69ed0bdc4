#!/usr/bin/env bash
# First runs of Frennick builds against dd on one file system, cold and
# interleaved: each round copies the same random cart afresh, drops the page
# cache, and times dd rewriting it in place and waiting for the device
# (conv=notrunc,fdatasync), then each build in turn, so that a noisy minute
# hurts every command alike. Prints the median of each and its ratio to dd.
#
#   bench/interleaved_runs.sh FOLDER SIZE_MIB BUILD...      (as root)
#
# FOLDER is where the carts live: a btrfs, an ext4, an XFS, a mount of a
# share. FRENNICK_BENCH_ROUNDS: rounds (default 7). The cart is made with
# the project's make_demo_cart (build/release).
set -euo pipefail
folder=$1 mib=$2
shift 2
rounds=${FRENNICK_BENCH_ROUNDS:-7}
make_cart=$(dirname "$0")/../build/release/demo/make_demo_cart
[[ $EUID -eq 0 ]] || { echo "dropping the page cache needs root" >&2; exit 2; }

orig=$(mktemp -d)/orig.bin
trap 'rm -rf "$(dirname "$orig")"' EXIT
"$make_cart" "$orig" --random --pages $((mib * 128)) --seed "$mib" >/dev/null
cart=$folder/interleaved-cart.bin
times=$(dirname "$orig")/times
commands=("dd if=$cart of=$cart bs=1M conv=notrunc,fdatasync status=none")
for build in "$@"; do commands+=("$build $cart"); done

for ((round = 1; round <= rounds; ++round)); do
  for i in "${!commands[@]}"; do
    rm -f "$cart"
    cp "$orig" "$cart"
    sync
    echo 3 > /proc/sys/vm/drop_caches
    start=$(date +%s.%N)
    ${commands[$i]} >/dev/null
    echo "$i $(echo "$(date +%s.%N) - $start" | bc)" >>"$times"
  done
done
rm -f "$cart"

python3 - "$times" "$mib" "$folder" "${commands[@]}" <<'PY'
import statistics, sys
times, mib, folder, commands = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
seconds = {}
for line in open(times):
    i, s = line.split()
    seconds.setdefault(int(i), []).append(float(s))
dd = statistics.median(seconds[0])
print(f"{mib} MiB on {folder}, {len(seconds[0])} rounds, medians:")
print("| command | seconds | / dd |")
print("|---|---|---|")
for i, command in enumerate(commands):
    median = statistics.median(seconds[i])
    name = "dd conv=notrunc,fdatasync" if i == 0 else command.split()[0]
    print(f"| {name} | {median:.2f} | {median / dd:.2f} |")
PY
