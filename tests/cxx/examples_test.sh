#!/usr/bin/env bash
# The C++ examples run on known inputs: their output, their messages and
# their exit status.
# Usage: examples_test.sh SUM_COLUMN FILTER_ROWS COUNT_PARALLEL [--one-thread]
# (--one-thread: where threads cannot start, count_parallel runs on one)
set -euo pipefail
sum_column=$1 filter_rows=$2 count_parallel=$3
thread_counts="1 2 3"
[ "${4:-}" != --one-thread ] || thread_counts=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect WANT_STATUS WANT_STDOUT COMMAND...: the status and standard output.
expect() {
    local status=0 want_status=$1 want=$2 got
    shift 2
    got=$("$@" 2>"$work/stderr") || status=$?
    [ "$status" = "$want_status" ] || fail "$* exited $status, want $want_status: $(cat "$work/stderr")"
    [ "$got" = "$want" ] || fail "$* printed '$got', want '$want'"
}
# expect_message WANT_STDERR: what the last command wrote on standard error.
expect_message() {
    [ "$(cat "$work/stderr")" = "$1" ] || fail "the message was '$(cat "$work/stderr")', want '$1'"
}

printf 'sku,price,note\n1,1.25,a\n2,"2.50","b, c"\n3,10,"two\nlines"\n' >"$work/prices.csv"
expect 0 13.75 "$sum_column" "$work/prices.csv"
expect 0 6.00 "$sum_column" "$work/prices.csv" sku
expect 1 "" "$sum_column" "$work/prices.csv" note
expect_message "sum_column: $work/prices.csv: line 2: column 3: 'a' is not a double"
expect 1 "" "$sum_column" "$work/prices.csv" cost
expect_message "sum_column: $work/prices.csv: no column named 'cost' in the header"
expect 1 "" "$sum_column" "$work/missing.csv"
expect 2 "" "$sum_column"

printf 'name,city,age\nAda,"Paris, FR",36\nBob,Oslo,41\n"Cy ""C""",Paris,29\nDee,"Paris, FR","5\n0"\n' >"$work/people.csv"
expect 0 2 "$filter_rows" "$work/people.csv" "$work/paris.csv" city "Paris, FR"
want=$(printf 'name,city,age\nAda,"Paris, FR",36\nDee,"Paris, FR","5\n0"\n_')
[ "$(cat "$work/paris.csv"; printf _)" = "$want" ] || fail "filter_rows wrote '$(cat "$work/paris.csv")'"
expect 0 1 "$filter_rows" "$work/people.csv" "$work/cy.csv" name 'Cy "C"'
want=$(printf 'name,city,age\n"Cy ""C""",Paris,29\n_')
[ "$(cat "$work/cy.csv"; printf _)" = "$want" ] || fail "filter_rows wrote '$(cat "$work/cy.csv")'"
expect 0 0 "$filter_rows" "$work/people.csv" "$work/none.csv" city Rome
[ "$(cat "$work/none.csv")" = "name,city,age" ] || fail "filter_rows kept more than the header"
expect 1 "" "$filter_rows" "$work/people.csv" "$work/x.csv" town Rome
expect_message "filter_rows: $work/people.csv: no column named 'town'"
expect 2 "" "$filter_rows" "$work/people.csv"

# Prices k.25 for k from 1 to 100000: sums exact in a double in any order.
awk 'BEGIN { print "id,price"; for (k = 1; k <= 100000; k++) printf "%d,%d.25\n", k, k }' >"$work/many.csv"
for threads in $thread_counts; do
    expect 0 "100000 records, price 5000075000.00, on $threads threads" \
        "$count_parallel" "$work/many.csv" price "$threads"
done
threads=${thread_counts##* }
expect 0 "100000 records, id 5000050000.00, on $threads threads" "$count_parallel" "$work/many.csv" id "$threads"
printf 'id,price\n1,2\n2,x\n' >"$work/bad.csv"
expect 1 "" "$count_parallel" "$work/bad.csv" price "$threads"
expect_message "count_parallel: $work/bad.csv: line 3: column 2: 'x' is not a double"

[ "$failures" = 0 ] || exit 1
echo "examples: sum_column, filter_rows and count_parallel print what they should"
