#!/usr/bin/env bash
# Counts the instructions matchPagePolarity executes per page, under
# qemu-user, on aarch64, armhf and x86-64, for pages where none, half or
# every pixel byte inverts. qemu 7.2 logs every block it runs; with
# -singlestep a block is one instruction. A run of 110 pages minus one of 10,
# divided by 100, is what one page costs, start-up and exit left out.
# Counts, unlike times, are the same on every run and any machine.
#
#   bench/instructions_per_page.sh
#
# Needs qemu-user and the cross compilers (see docs/developing.md).
set -euo pipefail
cd "$(dirname "$0")/.."
log=$(mktemp /tmp/frennick-qemu.XXXXXX)
trap 'rm -f "$log"' EXIT

for preset in release linux-aarch64 linux-armhf; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target match_instructions >/dev/null
done

count() {  # qemu, cpu, binary, share, pages
  "$1" -cpu "$2" -singlestep -d exec,nochain -D "$log" "$3" "$4" "$5" >/dev/null 2>&1
  grep -c '^Trace' "$log"
}

echo "| target | processor (qemu -cpu) | kernel | none invert | half invert | all invert |"
echo "|---|---|---|---|---|---|"
while read -r target qemu cpu kernel binary; do
  row="| $target | $cpu | $kernel |"
  for share in none half all; do
    short=$(count "$qemu" "$cpu" "$binary" "$share" 10)
    long=$(count "$qemu" "$cpu" "$binary" "$share" 110)
    row+=" $(((long - short) / 100)) |"
  done
  echo "$row"
done <<'TARGETS'
aarch64 qemu-aarch64 cortex-a72 neon build/linux-aarch64/bench/match_instructions
armhf qemu-arm cortex-a15 neon build/linux-armhf/bench/match_instructions
armhf qemu-arm cortex-r5f bytewise build/linux-armhf/bench/match_instructions
x86-64 qemu-x86_64 Haswell avx2 build/release/bench/match_instructions
x86-64 qemu-x86_64 Nehalem sse2 build/release/bench/match_instructions
TARGETS
