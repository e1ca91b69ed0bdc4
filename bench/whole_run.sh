#!/usr/bin/env bash
# Times whole Frennick runs against the physical limit of the job, side by
# side: reading the cart once and writing it back in place (dd), with and
# without waiting for the storage device (fdatasync), as Frennick does.
#
#   bench/whole_run.sh [SIZE_MIB ...]     default: 8 64 512
#
# The carts live in $FRENNICK_BENCH_DIR: a tmpfs (/dev/shm) measures the work
# in memory, a folder on a disk measures the wait for that disk too.
# Needs hyperfine (Debian: apt-get install hyperfine) and GNU time. Carts are
# generated with the project's own make_demo_cart (random pages, so that every
# page changes on the first run) in $FRENNICK_BENCH_DIR (default: a folder in
# /tmp, removed afterwards). FRENNICK=path/to/Frennick times another build.
#
# As root, FRENNICK_BENCH_COLD=1 drops the page cache before every run, so
# that each reads the cart from the disk, as after a reboot, and
# FRENNICK_BENCH_BTRFS=1 (cold too) keeps the carts on a btrfs made in a
# file in $FRENNICK_BENCH_DIR and mounted through a loop device: put that
# folder on a disk. The btrfs needs btrfs-progs.
set -euo pipefail
cd "$(dirname "$0")/.."
sizes=("${@:-8 64 512}")
read -r -a sizes <<<"${sizes[*]}"
runs=${FRENNICK_BENCH_RUNS:-7}

for tool in hyperfine /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 2; }
done

cmake --preset release >/dev/null
cmake --build --preset release --target Frennick make_demo_cart >/dev/null
frennick=${FRENNICK:-$PWD/build/release/tool/Frennick}
make_cart=$PWD/build/release/demo/make_demo_cart

work=${FRENNICK_BENCH_DIR:-$(mktemp -d /tmp/frennick-bench.XXXXXX)}
mkdir -p "$work"
carts=$work
cleanup() {
  if mountpoint -q "$work/btrfs"; then umount "$work/btrfs"; fi
  [[ -n ${FRENNICK_BENCH_DIR:-} ]] || rm -rf "$work"
}
trap cleanup EXIT

cold=
if [[ -n ${FRENNICK_BENCH_COLD:-}${FRENNICK_BENCH_BTRFS:-} ]]; then
  [[ $EUID -eq 0 ]] || { echo "cold caches and a btrfs need root" >&2; exit 2; }
  cold=" && echo 3 > /proc/sys/vm/drop_caches"
fi
if [[ -n ${FRENNICK_BENCH_BTRFS:-} ]]; then
  command -v mkfs.btrfs >/dev/null || { echo "needs mkfs.btrfs" >&2; exit 2; }
  largest=$(printf '%s\n' "${sizes[@]}" | sort -n | tail -1)
  # Room for the cart twice over (a first run un-shares every page) and more.
  truncate -s $((largest * 2 + 512))M "$work/btrfs.img"
  mkfs.btrfs -q -f "$work/btrfs.img" >/dev/null
  mkdir -p "$work/btrfs"
  mount -o loop "$work/btrfs.img" "$work/btrfs"
  carts=$work/btrfs
fi

for mib in "${sizes[@]}"; do
  orig=$work/random-$mib.bin
  cart=$carts/cart-$mib.bin
  "$make_cart" "$orig" --random --pages $((mib * 128)) --seed "$mib"
  cp "$orig" "$cart"
  # Memory: peak resident set on a first run (KiB).
  /usr/bin/time -f %M -o "$work/rss-$mib" "$frennick" "$cart" >/dev/null
  # First runs and the in-place copies each start from the random cart, on
  # the device already, so that no run waits for the copy's own writes...
  hyperfine -N --style none --runs "$runs" --warmup 1 --export-json "$work/first-$mib.json" \
    --prepare "sh -c 'cp $orig $cart && sync $cart$cold'" \
    -n first "$frennick $cart" \
    -n dd-inplace "dd if=$cart of=$cart bs=1M conv=notrunc status=none" \
    -n dd-synced "dd if=$cart of=$cart bs=1M conv=notrunc,fdatasync status=none" >/dev/null
  # ...second runs and the plain read from the matched cart, written out.
  "$frennick" "$cart" >/dev/null
  sync
  hyperfine -N --style none --runs "$runs" --warmup 1 --export-json "$work/second-$mib.json" \
    --prepare "sh -c 'true$cold'" \
    -n second "$frennick $cart" \
    -n dd-read "dd if=$cart of=/dev/null bs=1M status=none" >/dev/null
done

echo "carts on $(stat -f -c %T "$carts") ($carts)${cold:+, page cache dropped before each run}"
python3 - "$work" "${sizes[@]}" <<'PY'
import json, sys
work, sizes = sys.argv[1], sys.argv[2:]
print("| cart | first run | second run | dd in place | dd in place, synced | dd read "
      "| first / dd in place | first / dd synced | second / dd read | peak RSS |")
print("|---|---|---|---|---|---|---|---|---|---|")
for mib in sizes:
    results = [r for name in ("first", "second")
               for r in json.load(open(f"{work}/{name}-{mib}.json"))["results"]]
    med = {r["command"]: r["median"] for r in results}
    rss = int(open(f"{work}/rss-{mib}").read().split()[-1])
    ms = lambda s: f"{s * 1000:.1f} ms"
    print(f"| {mib} MiB | {ms(med['first'])} | {ms(med['second'])} | {ms(med['dd-inplace'])} "
          f"| {ms(med['dd-synced'])} | {ms(med['dd-read'])} "
          f"| {med['first'] / med['dd-inplace']:.2f} | {med['first'] / med['dd-synced']:.2f} "
          f"| {med['second'] / med['dd-read']:.2f} | {rss / 1024:.1f} MiB |")
PY
