#!/usr/bin/env bash
# Cycles per 64-byte block of the neon kernel's block loop on Neoverse N1
# and V1, as llvm-mca's models estimate them (Debian's llvm-19; LLVM 14
# models no Neoverse core). Not measured on hardware.
# Usage: bench/mca.sh   (from the project root)
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/mca
mkdir -p "$out"
aarch64-linux-gnu-g++ -std=c++17 -O2 -march=armv8-a+crypto -Isrc -S bench/mca_blocks.cpp -o "$out/blocks.s"
for cpu in neoverse-n1 neoverse-v1; do
    llvm-mca-19 -mtriple=aarch64-linux-gnu -mcpu="$cpu" -iterations=1000 -summary-view \
        -timeline=false -resource-pressure=false -instruction-info=false "$out/blocks.s" 2>/dev/null |
        awk -v cpu="$cpu" '/^\[[0-9]+\] Code Region - /{region=$NF}
                           /^Instructions:/{insns=$2}
                           /^Total Cycles:/{cycles=$3}
                           /^Block RThroughput:/{printf "%s %s: %.1f instructions, %.2f cycles per block (throughput bound %s)\n", cpu, region, insns/1000, cycles/1000, $3}'
done
