#!/usr/bin/env bash
# A program of an earlier version prints what that version printed.
# Usage: names_test.sh PROGRAM EXPECTED [ENVIRONMENT...]
set -euo pipefail
program=$1 expected=$2
shift 2
if ! diff -u "$expected" <(env "$@" "$program"); then
    echo "FAIL: $program prints other than $expected says"
    exit 1
fi
echo "as $expected says"
