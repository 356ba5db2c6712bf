#!/usr/bin/env bash
# End-to-end checks of the csv_cut example: its output on a small file, from
# the file and from a pipe, records that hold line breaks, and what it does
# with bad input: the status, the message on standard error and that nothing
# is passed off as success.
# Usage: csv_cut_test.sh CSV_CUT DIR [OPTION...]
# (DIR holds input.csv and expected.txt; each OPTION, such as -j3, is given
# to every run)
set -u
program=$1 dir=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Every check runs csv_cut through this, with the options given.
cut=$work/csv_cut
printf '#!/bin/sh\nexec %s %s "$@"\n' "$program" "$*" >"$cut"
chmod +x "$cut"
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect NAME STATUS STDERR_PATTERN WANT_FILE COMMAND...: runs COMMAND and
# checks its status, that standard error matches the pattern (empty: is
# empty) and, unless WANT_FILE is -, that standard output equals it.
expect() {
    local name=$1 want_status=$2 pattern=$3 want=$4 status
    shift 4
    "$@" >"$work/out" 2>"$work/err"
    status=$?
    [ "$status" = "$want_status" ] || fail "$name: exit status $status, want $want_status"
    if [ -z "$pattern" ]; then
        [ ! -s "$work/err" ] || fail "$name: wrote to standard error: $(cat "$work/err")"
    else
        grep -q -- "$pattern" "$work/err" || fail "$name: standard error lacks '$pattern': $(cat "$work/err")"
    fi
    [ "$want" = - ] || cmp -s "$want" "$work/out" || { fail "$name: output differs"; diff "$want" "$work/out" | head; }
}

expect file 0 "" "$dir/expected.txt" "$cut" -f 6,1,2 "$dir/input.csv"
expect pipe 0 "" "$dir/expected.txt" sh -c 'cat "$1" | "$2" -f 6,1,2' sh "$dir/input.csv" "$cut"
expect dash-is-stdin 0 "" "$dir/expected.txt" "$cut" -f6,1,2 - <"$dir/input.csv"

: >"$work/empty"
expect empty-file 0 "" "$work/empty" "$cut" -f 1 "$work/empty"
expect empty-pipe 0 "" "$work/empty" sh -c ': | "$1" -f 1' sh "$cut"

# A range, a field named twice, a line with no LF at the end.
printf 'a,b,c,d\nx' >"$work/range.csv"
printf 'b\tc\td\ta\n\t\t\tx\n' >"$work/range.want"
expect range 0 "" "$work/range.want" "$cut" -f 2-4,1 "$work/range.csv"

# Lines longer than the pipe's read buffer, carried over and grown into.
{ head -c 3000000 /dev/zero | tr '\0' x; printf ',long\r\nshort,s\n'; } >"$work/long.csv"
printf 'long\ns\n' >"$work/long.want"
expect long-lines-in-a-pipe 0 "" "$work/long.want" sh -c 'cat "$1" | "$2" -f 2' sh "$work/long.csv" "$cut"

# Fields print whole, however long: no row width cuts them.
x5000=$(head -c 5000 /dev/zero | tr '\0' x)
printf 'a,%s\nc,"%s"""\n' "$x5000" "$x5000" >"$work/long-fields.csv"
printf '%s\n%s"\n' "$x5000" "$x5000" >"$work/long-fields.want"
expect long-fields-whole 0 "" "$work/long-fields.want" "$cut" -f 2 "$work/long-fields.csv"

# Regression: a field that escapes to more than twice the output buffer's
# spare room. A field of 70,000 TABs after 65,535 bytes of output wrote its
# escapes past the end of the buffer (the address sanitizer reports it).
head -c 65535 /dev/zero | tr '\0' x >"$work/escapes.csv"
printf ',' >>"$work/escapes.csv"
head -c 70000 /dev/zero | tr '\0' '\t' >>"$work/escapes.csv"
printf '\n' >>"$work/escapes.csv"
{ head -c 65535 /dev/zero | tr '\0' x; printf '\t'; head -c 70000 /dev/zero | sed 's/\x0/\\t/g'; printf '\n'; } \
    >"$work/escapes.want"
expect regression-escapes-overflow-the-output-buffer 0 "" "$work/escapes.want" "$cut" -f 1,2 "$work/escapes.csv"

# Values as spreadsheets and Python's csv module read them: a quoted field
# without its outer quotes, a doubled quote inside it as one. Fields those
# readers would not take print with every quote dropped and are reported
# with the physical line where their record began; the rest still prints,
# and the status is 1.
printf 'id,note\n1,"say ""hi"""\n2,""""\n3,"a, ""b"", c"\n4,""\n' >"$work/doubled.csv"
printf 'id\tnote\n1\tsay "hi"\n2\t"\n3\ta, "b", c\n4\t\n' >"$work/doubled.want"
expect doubled-quotes 0 "" "$work/doubled.want" "$cut" -f 1,2 "$work/doubled.csv"
if command -v python3 >/dev/null; then
    python3 -c 'import csv, sys
for row in csv.reader(open(sys.argv[1], newline="")):
    print("\t".join(row))' "$work/doubled.csv" >"$work/doubled.python"
    cmp -s "$work/doubled.want" "$work/doubled.python" || fail "doubled-quotes: Python's csv module reads other values"
fi
printf 'a,b\n"two\nlines",ok\n12"" pipe,x\n"closed"after,y\nz,"w"\n' >"$work/malformed.csv"
printf 'a\tb\ntwo\\nlines\tok\n12 pipe\tx\nclosedafter\ty\nz\tw\n' >"$work/malformed.want"
expect malformed-fields 1 "line 4: field 1: a quote inside an unquoted field or after a closing quote" \
    "$work/malformed.want" "$cut" -f 1,2 "$work/malformed.csv"
grep -q "line 5: field 1: " "$work/err" || fail "malformed-fields: the field after a closing quote was not reported"
[ "$(wc -l <"$work/err")" = 2 ] || fail "malformed-fields: reported other fields too: $(cat "$work/err")"
# A lone quote in an unquoted field opens quotes to the end of the input:
# both are said.
printf '12" pipe,x\nnext,y\n' >"$work/stray.csv"
printf '12 pipe,x\\nnext,y\\n\n' >"$work/stray.want"
expect stray-quote 1 "line 1: quote not closed by the end of the input" "$work/stray.want" \
    "$cut" -f 1 "$work/stray.csv"
grep -q "line 1: field 1: a quote inside an unquoted field" "$work/err" || fail "stray-quote: the field was not reported"

# Regression: a stray quote in a field that is not printed joined two
# records into one, and nothing was said. Every field is checked.
printf 'a,12" pipe,c\nd,e"f,x\ng,h,i\n' >"$work/joined.csv"
printf 'a\ng\n' >"$work/joined.want"
expect regression-unprinted-stray-quote-joins-records 1 \
    "line 1: field 2: a quote inside an unquoted field or after a closing quote; not printed" \
    "$work/joined.want" "$cut" -f 1 "$work/joined.csv"

# Regression: a range that began at a record whose first bytes are those
# of a byte-order mark dropped them, as if they were the file's own mark.
# Its lines are still the file's.
printf 'a,b\n\357\273\277c,d\nx,"q\n"z\n' >"$work/inner-mark.csv"
printf '\357\273\277c\nx\n' >"$work/inner-mark.want"
expect regression-range-at-a-record-beginning-like-a-mark 1 "inner-mark.csv: line 3: field 2: a quote" \
    "$work/inner-mark.want" "$cut" --range 4-100 -f 1 "$work/inner-mark.csv"

# A range far into a file: its messages still name the file's lines,
# counted before the range in pieces of 1 MiB, line breaks in quotes and
# a piece's edge inside a record included.
printf 'a,"b\nc"\r\n%.0s' $(seq 120000) >"$work/far.csv"
printf 'x,"y"z\n' >>"$work/far.csv"
printf 'x\n' >"$work/far.want"
expect range-far-into-the-file 1 "far.csv: line 240001: field 2: a quote inside" "$work/far.want" \
    "$cut" --range 1080000-1080008 -f 1 "$work/far.csv"

# Messages name the physical line where a record began. A quote open at
# the end of the input takes the rest into its record, and is reported.
printf 'a,"1\n2\n3",c\nb,"x"y\n' >"$work/lines.csv"
expect line-numbers 1 "line 4: field 2: a quote inside an unquoted field" - "$cut" -f 2 "$work/lines.csv"
printf 'a,b\n\nA4,"unclosed, quote,6\nz\n' >"$work/open-quote.csv"
printf 'a\tb\n\t\nA4\tunclosed, quote,6\\nz\\n\n' >"$work/open-quote.want"
expect quote-open-at-the-end 1 "line 3: quote not closed by the end of the input" "$work/open-quote.want" \
    "$cut" -f 1,2 "$work/open-quote.csv"

# A record over 16 MiB (a quote left open) is ended at its first line end
# and the records after it read on; a physical line over 16 MiB prints the
# fields in its first 16 MiB and the rest of it is skipped.
{
    printf 'a,b\nc,"open\nd,e\n'
    for _ in $(seq 17); do head -c 1000000 /dev/zero | tr '\0' x; echo; done
    printf '"\nf,g\n'
} >"$work/huge-record.csv"
expect record-over-the-limit 1 "line 2: record longer than 16 MiB" - "$cut" -f 1,2 "$work/huge-record.csv"
head -n 3 "$work/out" >"$work/huge-record.head"
printf 'a\tb\nc\topen\nd\te\n' | cmp -s - "$work/huge-record.head" || fail "record-over-the-limit: first lines differ"
{ printf 'a,b\nc,'; head -c 20000000 /dev/zero | tr '\0' x; printf ',d\ne,f\n'; } >"$work/huge-line.csv"
expect line-over-the-limit 1 "line 2: line longer than 16 MiB" - sh -c 'cat "$1" | "$2" -f 1' sh "$work/huge-line.csv" "$cut"
printf 'a\nc\ne\n' | cmp -s - "$work/out" || fail "line-over-the-limit: output differs"

expect missing-file 1 "nope.csv: No such file or directory" "$work/empty" "$cut" -f 1 "$work/nope.csv"
expect directory 1 "Is a directory" - "$cut" -f 1 "$work"
# A file that tells no size is read all the same; one that cannot be read
# fails (even for root: /proc/self/mem has nothing at offset 0).
cut -d, -f1 /proc/version >"$work/version.want"
expect file-of-no-size 0 "" "$work/version.want" "$cut" -f 1 /proc/version
expect unreadable-file 1 "Input/output error" - "$cut" -f 1 /proc/self/mem
expect write-error 1 "write error: No space left on device" - sh -c '"$1" -f 1 "$2" >/dev/full' sh "$cut" "$dir/input.csv"

for list in "" 0 a 1, ,1 3-2 - 1-- --1 " 1" 1.5 4097 1-4097 1-99999999999999999999; do
    expect "field list '$list'" 2 "bad field list" "$work/empty" "$cut" -f "$list" "$dir/input.csv"
done
expect no-list 2 "give the fields to print with -f LIST" "$work/empty" "$cut" "$dir/input.csv"

# The command line as GNU tools take it: --help and --version on standard
# output, a wrong option or argument said with status 2 and nothing read.
expect help 0 "" - "$cut" --help
grep -q -- "--output-delimiter=CHAR" "$work/out" || fail "help: options missing: $(head -3 "$work/out")"
expect version 0 "" - "$cut" --version
grep -q "^csv_cut (csv_line) [0-9]" "$work/out" || fail "version: $(cat "$work/out")"
printf 'a;b\tc\n' >"$work/separators.csv"
while IFS='|' read -r name pattern args; do
    # shellcheck disable=SC2086 # the arguments are words
    expect "refused: $name" 2 "$pattern" "$work/empty" "$cut" $args "$work/separators.csv"
done <<'ROWS'
unknown option|unrecognized option '--bogus'|-f 1 --bogus
quote as delimiter|the delimiter cannot be '"'|-f 1 -d "
two-byte delimiter|the delimiter takes one byte, not ';;'|-f 1 -d ;;
quote as output delimiter|the output delimiter cannot be '"'|-f 1 --output-delimiter="
name without -H|'id' is a name; give -H|-f 1,id
thread count|bad thread count '0'|-f 1 -j 0
ranges with a list|--ranges prints byte ranges|--ranges 2 -f 1
range and two files|take one FILE|--range 0-1 -f 1 /dev/null
names with a list|-n lists the names|-n -f 1
too many threads|bad thread count '257': give 1 to 256|-f 1 -j 257
no range count|bad range count '0'|--ranges 0
range backwards|bad range '5-2'|--range 5-2 -f 1
range without an end|bad range '5'|--range 5 -f 1
ROWS
expect help-to-a-full-disk 1 "" - sh -c '"$1" --help >/dev/full' sh "$cut"
expect ranges-of-a-missing-file 1 "nope.csv: No such file or directory" "$work/empty" "$cut" --ranges 2 "$work/nope.csv"
expect ranges-of-a-pipe 1 "--ranges needs a file that can be read at any offset" "$work/empty" \
    sh -c 'cat "$1" | "$2" --ranges 2 -' sh "$dir/input.csv" "$cut"
expect '-- ends options' 0 "" "$dir/expected.txt" "$cut" -f 6,1,2 -- "$dir/input.csv"

# Other separators, in and out; TAB named as \t or tab.
while IFS='|' read -r name want args; do
    printf "$want" >"$work/want"
    # shellcheck disable=SC2086
    expect "separator: $name" 0 "" "$work/want" "$cut" $args "$work/separators.csv"
done <<'ROWS'
semicolon|b\\tc\n|-f 2 -d ;
tab as \\t|c\n|-f 2 -d \t
tab as tab|a;b\n|-f 1 -d tab
output delimiter|b\\tc,a\n|-d ; --output-delimiter=, -f 2,1
csv keeps the input's|b\tc;a\n|-d ; --csv -f 2,1
csv with another|"b\tc"\ta\n|-d ; --csv --output-delimiter=\t -f 2,1
ROWS

# --complement: every field but the listed ones, in the record's order.
printf 'a,b,c,d,e\n1,2\n' >"$work/five.csv"
printf 'a\tc\te\n1\n' >"$work/complement.want"
expect complement 0 "" "$work/complement.want" "$cut" --complement -f 4,2 "$work/five.csv"
printf 'a\tb\n1\t2\n' >"$work/complement-open.want"
expect complement-open-range 0 "" "$work/complement-open.want" "$cut" --complement -f 3- "$work/five.csv"

# --csv: quoted exactly where the value needs it; a record of one empty
# field as "", which readers would otherwise take for no field.
printf 'a,"b,c","say ""hi""","two\nlines",plain,"quoted",x\r\n"",x\n' >"$work/csv.csv"
printf 'a,"b,c","say ""hi""","two\nlines",plain,quoted\n,x,,,,\n' >"$work/csv.want"
expect csv-quoting 0 "" "$work/csv.want" "$cut" --csv -f 1-6 "$work/csv.csv"
printf '"a"\n""\n' >"$work/csv-one.want"
expect csv-one-empty-field 0 "" "$work/csv-one.want" "$cut" --csv --output-delimiter=a -f 1 "$work/csv.csv"
printf '12"" pipe,"a"b,\n' >"$work/csv-malformed.csv"
printf '12 pipe,ab\n' >"$work/csv-malformed.want"
expect csv-malformed 1 "line 1: field 1: a quote inside" "$work/csv-malformed.want" "$cut" --csv -f 1,2 \
    "$work/csv-malformed.csv"

# --csv round trips on the usual hard cases: Python's csv module reads the
# output as the same rows as the input, and csv_cut reads it back to the
# same fields.
if command -v python3 >/dev/null; then
    k=0
    while IFS='|' read -r name text; do
        k=$((k + 1))
        echo "$name" >>"$work/trip-names"
        printf "$text" >"$work/trip$k.csv"
        "$cut" --csv -f 1- "$work/trip$k.csv" >"$work/trip$k.out" 2>"$work/err" || fail "round trip $name: status $?"
        "$cut" -f 1- "$work/trip$k.csv" >"$work/trip.tsv"
        "$cut" -f 1- "$work/trip$k.out" | cmp -s - "$work/trip.tsv" || fail "round trip $name: csv_cut reads other fields back"
    done <<'ROWS'
comma in quotes|first,last,address,city,zip\nJohn,Doe,120 any st.,"Anytown, WW",08123\n
escaped quotes|a,b\n1,"ha ""ha"" ha"\n3,4\n
json|key,val\n1,"{""type"": ""Point"", ""coordinates"": [102.0, 0.5]}"\n
newlines|a,b,c\n1,2,3\n"Once upon \na time",5,6\n7,8,9\n
CR LF and newlines|a,b\r\n1,"x\r\ny"\r\n3,4\r\n
quotes and newlines|a,b\n1,"ha \n""ha"" \nha"\n3,4\n
utf-8|a,b,c\n1,2,3\n4,5,\312\244\n
empty fields|a,b,c\n1,"",""\n2,3,\n
one empty field|a\n""\nb\n
a lone CR and a TAB|a,b\n"x\ry",z\tw\n
ROWS
    # One Python for every case: it reads each output as its input's rows.
    python3 -c 'import csv, sys
rows = lambda name: list(csv.reader(open(name, newline="", encoding="utf-8")))
names = open(sys.argv[1] + "/trip-names").read().splitlines()
for k, name in enumerate(names, 1):
    path = sys.argv[1] + "/trip%d" % k
    if rows(path + ".csv") != rows(path + ".out"):
        print("round trip %s: Python reads other rows" % name)' "$work" >"$work/python.out"
    if [ -s "$work/python.out" ]; then
        fail "$(cat "$work/python.out")"
    fi
fi

# A header: names in the list, mixed with numbers; the chosen names first;
# a byte-order mark dropped, so that the first name is found.
printf '\357\273\277id,name,"unit price"\n1,Tee,9.5\n2,"Hoodie, grey",19.9\n' >"$work/header.csv"
printf 'unit price\tid\tname\n9.5\t1\tTee\n19.9\t2\tHoodie, grey\n' >"$work/header.want"
expect header-names 0 "" "$work/header.want" "$cut" -H -f 'unit price,1,name' "$work/header.csv"
printf 'name;"id;no"\nx;9\n' >"$work/header-semicolons.csv"
printf 'id;no\tname\n9\tx\n' >"$work/header-semicolons.want"
expect header-with-another-separator 0 "" "$work/header-semicolons.want" "$cut" -H -d ';' -f 'id;no,name' \
    "$work/header-semicolons.csv"
printf '1\tid\n2\tname\n3\tunit price\n' >"$work/names.want"
expect header-list-names 0 "" "$work/names.want" "$cut" -n "$work/header.csv"
expect header-unknown-name 1 "header.csv: no field named 'price' in the header" "$work/empty" \
    "$cut" -H -f id,price "$work/header.csv"
printf 'id,name\n' >"$work/only-header.csv"
printf 'name\n' >"$work/only-header.want"
expect header-alone 0 "" "$work/only-header.want" "$cut" -H -f name "$work/only-header.csv"
printf '\357\273\277a,b\n' >"$work/bom.csv"
printf 'a\tb\n' >"$work/bom.want"
expect bom-dropped 0 "" "$work/bom.want" "$cut" -f 1,2 "$work/bom.csv"
expect bom-dropped-from-a-pipe 0 "" "$work/bom.want" sh -c 'cat "$1" | "$2" -f 1,2' sh "$work/bom.csv" "$cut"

# Several inputs, in order, - for standard input; names found in each
# input's own header, the header printed once. A bad input is said with
# its name and line, and the others still print.
printf 'name,id\nSocks,3\n' >"$work/header2.csv"
printf 'id\tname\n1\tTee\n2\tHoodie, grey\n3\tSocks\n1\tTee\n2\tHoodie, grey\n' >"$work/several.want"
expect several-files 0 "" "$work/several.want" sh -c '"$1" -H -f id,name "$2" "$3" - <"$2"' sh "$cut" \
    "$work/header.csv" "$work/header2.csv"
printf 'a,b\nz,x"y"\n' >"$work/bad.csv"
printf 'b\nxy\nb\n2\nname\nTee\nHoodie, grey\n' >"$work/several-bad.want"
expect several-files-one-bad 1 "bad.csv: line 2: field 2: a quote" "$work/several-bad.want" \
    "$cut" -f 2 "$work/bad.csv" "$work/nope.csv" "$work/five.csv" "$work/header.csv"
grep -q "nope.csv: No such file or directory" "$work/err" || fail "several-files-one-bad: the missing file not said"
# Inputs as they come: compressed (known by their bytes, whatever their
# name, from a file or a pipe), in UTF-16, the separator guessed; one cut
# short says where, after the records before it.
# A build without zlib says so instead.
if command -v gzip >/dev/null; then
    gzip -c "$dir/input.csv" >"$work/input.data"
    if "$cut" -f 1 "$work/input.data" 2>&1 >/dev/null | grep -q "which this build cannot read"; then
        expect gzip-without-zlib 1 "gzip input, which this build cannot read (it was built without zlib)" - \
            "$cut" -f 1 "$work/input.data"
    else
        expect gzip-file 0 "" "$dir/expected.txt" "$cut" -f 6,1,2 "$work/input.data"
        expect gzip-pipe 0 "" "$dir/expected.txt" sh -c '"$2" -f 6,1,2 <"$1"' sh "$work/input.data" "$cut"
        head -c "$(($(wc -c <"$work/input.data") - 9))" "$work/input.data" >"$work/cut.gz"
        expect gzip-cut-short 1 "the gzip stream is cut off at byte" - "$cut" -f 1 "$work/cut.gz"
    fi
fi
python3 -c 'import sys; sys.stdout.buffer.write(open(sys.argv[1], encoding="utf-8").read().encode("utf-16"))' \
    "$dir/input.csv" >"$work/utf16.csv" 2>/dev/null &&
    expect utf-16 0 "" "$dir/expected.txt" "$cut" -f 6,1,2 "$work/utf16.csv"
tr ',' ';' <"$dir/input.csv" >"$work/semicolons.csv"
tr ',' ';' <"$dir/expected.txt" >"$work/semicolons.want"
expect delimiter-auto 0 "" "$work/semicolons.want" "$cut" -d auto -f 6,1,2 "$work/semicolons.csv"
[ "$failures" = 0 ] && echo "csv_cut: all checks passed"
exit $((failures > 0))
