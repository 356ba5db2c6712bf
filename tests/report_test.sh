#!/usr/bin/env bash
# End-to-end checks of the report program: its exact bytes, a quiet standard
# error, its exit status, and a lost report reported as a failure.
# Usage: report_test.sh PROGRAM EXPECTED_REPORT [MEMCHECK...]
# With MEMCHECK (valgrind and its options), the plain run goes under it.
set -u
program=$1 expected=$2
shift 2
memcheck=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run NAME [ARGS...]: runs the program with stdout and stderr captured.
run() {
    local name=$1; shift
    "$program" "$@" >"$work/$name.out" 2>"$work/$name.err" </dev/null
    echo $? >"$work/$name.status"
}

expect_report() {
    local name=$1
    [ "$(cat "$work/$name.status")" = 0 ] || fail "$name: exit status $(cat "$work/$name.status")"
    cmp -s "$expected" "$work/$name.out" || { fail "$name: report differs"; diff "$expected" "$work/$name.out"; }
    [ ! -s "$work/$name.err" ] || fail "$name: wrote to standard error: $(cat "$work/$name.err")"
}

"${memcheck[@]}" "$program" >"$work/plain.out" 2>"$work/plain.err" </dev/null
echo $? >"$work/plain.status"
expect_report plain

run with-args --help -x "a,b" ""
expect_report with-args

env -i "$program" >"$work/no-env.out" 2>"$work/no-env.err" </dev/null
echo $? >"$work/no-env.status"
expect_report no-env

# Standard input that stays open and silent must not hold the program up.
# (A FIFO held open for writing by this script gives no data and no end.)
mkfifo "$work/stdin"
exec 3<>"$work/stdin"
timeout 10 "$program" >"$work/silent-stdin.out" 2>"$work/silent-stdin.err" <&3
echo $? >"$work/silent-stdin.status"
exec 3>&-
expect_report silent-stdin

# A full device loses the report: that must show in the status and on stderr.
"$program" >/dev/full 2>"$work/full.err"
status=$?
[ "$status" = 1 ] || fail "full: exit status $status, want 1"
[ "$(wc -l <"$work/full.err")" = 1 ] || fail "full: want one line on standard error, got: $(cat "$work/full.err")"

# So does a closed standard output.
"$program" >&- 2>"$work/closed.err"
status=$?
[ "$status" = 1 ] || fail "closed: exit status $status, want 1"
[ -s "$work/closed.err" ] || fail "closed: nothing on standard error"

[ "$failures" = 0 ] && echo "report: all checks passed"
exit $((failures > 0))
