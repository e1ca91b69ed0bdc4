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
[[ -n ${FRENNICK_BENCH_DIR:-} ]] || trap 'rm -rf "$work"' EXIT

for mib in "${sizes[@]}"; do
  orig=$work/random-$mib.bin
  cart=$work/cart-$mib.bin
  "$make_cart" "$orig" --random --pages $((mib * 128)) --seed "$mib"
  cp "$orig" "$cart"
  # Memory: peak resident set on a first run (KiB).
  /usr/bin/time -f %M -o "$work/rss-$mib" "$frennick" "$cart" >/dev/null
  # First runs and the in-place copies each start from the random cart, on
  # the device already, so that no run waits for the copy's own writes...
  hyperfine -N --style none --runs "$runs" --warmup 1 --export-json "$work/first-$mib.json" \
    --prepare "sh -c 'cp $orig $cart && sync $cart'" \
    -n first "$frennick $cart" \
    -n dd-inplace "dd if=$cart of=$cart bs=1M conv=notrunc status=none" \
    -n dd-synced "dd if=$cart of=$cart bs=1M conv=notrunc,fdatasync status=none" >/dev/null
  # ...second runs and the plain read from the matched cart, written out.
  "$frennick" "$cart" >/dev/null
  sync
  hyperfine -N --style none --runs "$runs" --warmup 1 --export-json "$work/second-$mib.json" \
    -n second "$frennick $cart" \
    -n dd-read "dd if=$cart of=/dev/null bs=1M status=none" >/dev/null
done

echo "carts on $(stat -f -c %T "$work") ($work)"
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
