#!/usr/bin/env bash
# The shared library's exported symbols must be the functions its header
# declares, no more (no kernel or helper leaks out) and no fewer.
# Usage: abi_test.sh SHARED_LIBRARY HEADER [NM]  (NM: the target's nm, when cross-built)
set -euo pipefail
library=$1 header=$2 nm=${3:-nm}

# Every function the header declares: a line that ends in ");", once a
# declaration continued after a comma is joined into one line, named by
# the word before its first "(".
declared=$(sed -E ':join; /,$/ { N; s/,\n[[:space:]]*/, /; b join }' "$header" |
           grep -E '^[A-Za-z_].*\);$' | grep -v -E '^(typedef|#)' |
           sed -E 's/^[^(]*[^A-Za-z0-9_(]([A-Za-z_][A-Za-z0-9_]*)\(.*$/\1/' | sort)
exported=$("$nm" -D --defined-only --format=just-symbols "$library" | sort)

[ -n "$declared" ] || { echo "FAIL: found no function in $header"; exit 1; }
if [ "$declared" != "$exported" ]; then
    echo "FAIL: $library exports other symbols than $header declares"
    diff <(echo "$declared") <(echo "$exported") | sed -n 's/^< /  missing: /p; s/^> /  leaked: /p'
    exit 1
fi
echo "exported, as declared:" $exported
