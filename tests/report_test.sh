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

# expect_report NAME COMMAND...: runs COMMAND (standard input as given by the
# caller) and checks for the whole report, nothing on stderr and status 0.
expect_report() {
    local name=$1 status
    shift
    "$@" >"$work/$name.out" 2>"$work/$name.err"
    status=$?
    [ "$status" = 0 ] || fail "$name: exit status $status"
    cmp -s "$expected" "$work/$name.out" || { fail "$name: report differs"; diff "$expected" "$work/$name.out"; }
    [ ! -s "$work/$name.err" ] || fail "$name: wrote to standard error: $(cat "$work/$name.err")"
}

expect_report plain "${memcheck[@]}" "$program" </dev/null
expect_report with-args "$program" --help -x "a,b" "" </dev/null
expect_report no-env env -i "$program" </dev/null

# Standard input that stays open and silent must not hold the program up.
# (A FIFO held open for writing by this script gives no data and no end.)
mkfifo "$work/stdin"
exec 3<>"$work/stdin"
expect_report silent-stdin timeout 10 "$program" <&3
exec 3>&-

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
