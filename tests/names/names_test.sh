#!/usr/bin/env bash
# A 1.0 program prints what 1.0 printed.
# Usage: names_test.sh PROGRAM EXPECTED [ENVIRONMENT...]
set -euo pipefail
program=$1 expected=$2
shift 2
if ! diff -u "$expected" <(env "$@" "$program"); then
    echo "FAIL: $program prints other than csv_line 1.0 printed"
    exit 1
fi
echo "as 1.0 printed"
