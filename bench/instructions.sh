#!/usr/bin/env bash
# Guest instructions per line on 64-bit ARM, counted under qemu-user by the
# plugin in qemu_insn_count.c, for each aarch64 kernel and the literal byte
# loop on every split_bench input. An estimate of speed, not a measurement
# on hardware: instructions are not cycles.
# Usage: bench/instructions.sh   (from the project root; needs qemu-user and
# g++-aarch64-linux-gnu)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset aarch64-bench >/dev/null
cmake --build --preset aarch64-bench >/dev/null
plugin=build/aarch64-bench/qemu_insn_count.so
cc -shared -fPIC -O2 bench/qemu_insn_count.c -o "$plugin"

program=build/aarch64-bench/bench/split_count
count() {  # count SPLITTER INPUT TIMES: instructions of the whole run
    qemu-aarch64 -L /usr/aarch64-linux-gnu -plugin "$plugin" -d plugin "$program" "$@" 2>&1 >/dev/null |
        sed -n 's/^instructions //p'
}
per_line() {  # per_line SPLITTER INPUT: the difference of 2000 and 1000 splits
    echo $(( ($(count "$1" "$2" 2000) - $(count "$1" "$2" 1000)) / 1000 ))
}

splitters=(neon neon_nopmull portable)
inputs=(record numeric quoted fields_8 fields_32 fields_60 fields_128 fields_512 fields_2000 fields_2047
        bare_8 quoted_8 doubled_quotes quote_per_byte)
printf '| input | loop |'; printf ' %s |' "${splitters[@]}"; printf '\n|---|---:|'
printf -- '---:|%.0s' "${splitters[@]}"; printf '\n'
for input in "${inputs[@]}"; do
    loop=$(per_line baseline "$input")
    printf '| %s | %d |' "$input" "$loop"
    for splitter in "${splitters[@]}"; do
        n=$(per_line "$splitter" "$input")
        printf ' %d (%s) |' "$n" "$(python3 -c "print(f'{$n / $loop:.2f}')")"
    done
    printf '\n'
done
echo "instructions per line, and (in brackets) as a share of the byte loop's"
