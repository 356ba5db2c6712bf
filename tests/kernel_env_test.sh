#!/usr/bin/env bash
# CSV_LINE_KERNEL: a kernel this processor runs is used as asked, silently;
# any other name leaves the library's own choice, said once on standard
# error. PROGRAM names the kernel parse_csv_line runs.
# Usage: kernel_env_test.sh PROGRAM
set -euo pipefail
caller=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

ran() { sed -n 's/^parse_csv_line runs the \(.*\) kernel$/\1/p' "$work/out"; }

"$caller" >"$work/out"
own=$(ran)
[ -n "$own" ] || fail "$caller named no kernel"

for name in portable sse2 avx2 avx512 avx512bw neon neon_nopmull AVX2 avx512x ''; do
    CSV_LINE_KERNEL=$name "$caller" >"$work/out" 2>"$work/err" || fail "CSV_LINE_KERNEL='$name' failed"
    if [ "$(ran)" = "$name" ]; then
        [ ! -s "$work/err" ] || fail "CSV_LINE_KERNEL=$name used, yet said: $(cat "$work/err")"
    elif [ -z "$name" ]; then
        [ "$(ran)" = "$own" ] && [ ! -s "$work/err" ] || fail "an empty CSV_LINE_KERNEL changed the choice"
    else
        [ "$(ran)" = "$own" ] || fail "CSV_LINE_KERNEL=$name left $(ran), not the library's choice $own"
        [ "$(wc -l <"$work/err")" -eq 1 ] && grep -q "CSV_LINE_KERNEL=$name " "$work/err" ||
            fail "CSV_LINE_KERNEL=$name not said once on standard error: $(cat "$work/err")"
    fi
    echo "CSV_LINE_KERNEL='$name': $(ran)"
done
