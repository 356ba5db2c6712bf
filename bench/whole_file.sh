#!/usr/bin/env bash
# Times csv_cut on whole files, on one thread and on two, from the file and
# through a pipe, against what a user would reach for instead:
# cut, awk and Python's csv module extracting the same two fields, and wc -l,
# which reads every byte once. Three generated files (bench/make_csv.py):
# products and short lines, which every tool splits alike, and quoted cells
# holding commas and line breaks, which only csv_cut and Python's csv read
# right. Before timing anything it checks that the tools find the same
# fields. Prints the machine, the date and a Markdown table for each file.
#
# Usage (from the project root): bench/whole_file.sh [SIZE_MB] [WORK_DIR]
# Needs hyperfine and python3; builds the bench preset if it is not built
# yet.
set -euo pipefail
size_mb=${1:-100}
work=${2:-$(mktemp -d)}
csv_cut=build/bench/programs/csv_cut/csv_cut

command -v hyperfine >/dev/null || { echo "whole_file.sh: needs hyperfine (apt-get install hyperfine)" >&2; exit 1; }
if [ ! -x "$csv_cut" ]; then
    cmake --preset bench >/dev/null && cmake --build --preset bench >/dev/null
fi

lscpu | grep -E '^(Model name|CPU family|Model):' | tr -s ' '
echo "Date: $(date -u +%Y-%m-%d); $(nproc --all) cores, $(nproc) for this run; files in the page cache; output to /dev/null."
build/bench/bench/split_bench --benchmark_filter='^memcpy/record$' --benchmark_min_time=0.01 2>&1 | grep -E '^kernel' || true

# same FILE TOOL...: each tool's fields 1 and 6 equal csv_cut's. cut and awk
# keep the quote characters, so those are removed from their output first.
same() {
    local file=$1 tool
    shift
    "$csv_cut" -f 1,6 "$file" >"$work/csv_cut.out"
    for tool in "$@"; do
        case $tool in
        cut) cut -d, -f1,6 --output-delimiter=$'\t' "$file" | tr -d '"' ;;
        awk) awk -F, -v OFS='\t' '{ print $1, $6 }' "$file" | tr -d '"' ;;
        python) python3 bench/python_cut.py "$file" ;;
        esac >"$work/$tool.out"
        cmp -s "$work/csv_cut.out" "$work/$tool.out" || { echo "whole_file.sh: $tool finds other fields than csv_cut in $file" >&2; exit 1; }
    done
    rm -f "$work"/*.out
}

# table NAME: hyperfine's results as a table, with csv_cut's ratios.
table() {
    python3 - "$work/$1.json" "$work/$1-pipe.json" <<'PY'
import json, sys
runs = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
for extra in sys.argv[2:]:
    runs.update({r["command"]: r for r in json.load(open(extra))["results"]})
ours = runs["csv_cut"]["median"]
print("\n| tool | median ms | min ms | time against csv_cut's |")
print("|---|---|---|---|")
for name, r in runs.items():
    ratio = "" if name == "csv_cut" else f"{r['median'] / ours:.2f}x"
    print(f"| {name} | {r['median'] * 1e3:.1f} | {r['min'] * 1e3:.1f} | {ratio} |")
if "csv_cut -j2" in runs:
    j2 = runs["csv_cut -j2"]["median"]
    print(f"\ncsv_cut -j2 takes {j2 / ours:.2f} of -j1's time and {j2 / runs['wc -l']['median']:.2f} times wc -l's", end="")
    if "cat | csv_cut -j2" in runs:
        p1, p2 = runs["cat | csv_cut -j1"]["median"], runs["cat | csv_cut -j2"]["median"]
        print(f"; through a pipe, {p2 / p1:.2f} of -j1's time (cat | wc -l: {runs['cat | wc -l']['median'] * 1e3:.1f} ms)", end="")
    print(".")
if "cut -d, -f1,6" in runs:
    print(f"\ncsv_cut is {runs['cut -d, -f1,6']['median'] / ours:.2f} times as fast as cut", end="; ")
print(f"{'it' if 'cut -d, -f1,6' in runs else 'csv_cut'} takes {ours / runs['wc -l']['median']:.2f} times as long as wc -l.")
PY
}

for kind in products short quoted; do
    file=$work/$kind.csv
    [ -s "$file" ] || python3 bench/make_csv.py "$file" "$size_mb" $kind
    echo
    echo "## $kind: $(wc -c <"$file") bytes, $(wc -l <"$file") lines; fields 1 and 6 of each record."
    if [ $kind = quoted ]; then
        same "$file" python
        hyperfine -N --warmup 3 --runs 15 --export-json "$work/$kind.json" \
            -n csv_cut "$csv_cut -j1 -f 1,6 $file" \
            -n "csv_cut -j2" "$csv_cut -j2 -f 1,6 $file" \
            -n "python csv" "python3 bench/python_cut.py $file" \
            -n "wc -l" "wc -l $file" >"$work/$kind.log"
    else
        same "$file" cut awk python
        hyperfine -N --warmup 3 --runs 15 --export-json "$work/$kind.json" \
            -n csv_cut "$csv_cut -j1 -f 1,6 $file" \
            -n "csv_cut -j2" "$csv_cut -j2 -f 1,6 $file" \
            -n "cut -d, -f1,6" "cut -d, -f1,6 $file" \
            -n "awk -F," "awk -F, -v OFS=\\t '{ print \$1, \$6 }' $file" \
            -n "python csv" "python3 bench/python_cut.py $file" \
            -n "wc -l" "wc -l $file" >"$work/$kind.log"
    fi
    # Through a pipe, one thread and two (a shell runs these).
    hyperfine --warmup 3 --runs 15 --export-json "$work/$kind-pipe.json" \
        -n "cat | csv_cut -j1" "cat $file | $csv_cut -j1 -f 1,6" \
        -n "cat | csv_cut -j2" "cat $file | $csv_cut -j2 -f 1,6" \
        -n "cat | wc -l" "cat $file | wc -l" >"$work/$kind-pipe.log"
    table $kind
done
