#!/usr/bin/env bash
# csv_cut's manual page documents every option the program accepts (its
# option table in its sources) and every option --help lists, and renders
# without a warning.
# Usage: manual_test.sh CSV_CUT MANUAL SOURCE_DIR
set -u
program=$1 manual=$2
source=$(cat "$3"/*.c)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The manual as man shows it, with groff's warnings.
if command -v groff >/dev/null; then
    rendered=$(groff -man -Tutf8 -ww -P-c -P-b -P-u "$manual" 2>"${TMPDIR:-/tmp}/manual_test.$$")
    warnings=$(cat "${TMPDIR:-/tmp}/manual_test.$$")
    rm -f "${TMPDIR:-/tmp}/manual_test.$$"
    [ -z "$warnings" ] || fail "groff warns: $warnings"
else
    rendered=$(sed 's/\\-/-/g; s/\\f[BIR]//g' "$manual")
fi
rendered=$(printf '%s\n' "$rendered" | sed 's/‐/-/g')

long=$(grep -o '{"[a-z-]*", *[a-z_]*_argument' <<<"$source" | sed 's/{"\([a-z-]*\)".*/--\1/')
short=$(grep -o 'getopt_long(argc, argv, "[^"]*"' <<<"$source" | sed 's/.*"\(.*\)"/\1/' | tr -d ':' | sed 's/./-& /g')
helped=$("$program" --help | grep -oE -- '^ +(-[a-zA-Z], +)?--[a-z-]+' | grep -oE -- '--?[a-zA-Z][a-z-]*')
[ -n "$long" ] && [ -n "$short" ] || fail "no options found in $3"
for option in $long $short $helped; do
    grep -q -- "^ *$option\\b" <<<"$rendered" || grep -q -- "^ *-[a-zA-Z], $option\\b" <<<"$rendered" ||
        fail "the manual has no entry for $option"
done
for option in $long $short; do
    grep -q -- "$option\\b" <<<"$("$program" --help)" || fail "--help does not list $option"
done

[ "$failures" = 0 ] && echo "csv_cut's manual: every option documented"
exit $((failures > 0))
