#!/usr/bin/env bash
# Times csv_cut on a whole file against what a user would reach for instead:
# cut, awk and Python's csv module extracting the same two fields, and wc -l,
# which reads every byte once. First checks that every tool finds the same
# fields. Prints the machine, the date and a Markdown table of the times.
#
# Usage (from the project root): bench/whole_file.sh [SIZE_MB] [WORK_DIR]
# Needs hyperfine and python3; builds the bench preset if it is not built
# yet.
set -euo pipefail
size_mb=${1:-100}
work=${2:-$(mktemp -d)}
csv_cut=build/bench/examples/csv_cut

command -v hyperfine >/dev/null || { echo "whole_file.sh: needs hyperfine (apt-get install hyperfine)" >&2; exit 1; }
if [ ! -x "$csv_cut" ]; then
    cmake --preset bench >/dev/null && cmake --build --preset bench >/dev/null
fi

file=$work/products.csv
[ -s "$file" ] || python3 bench/make_csv.py "$file" "$size_mb"
echo "File: $(wc -c <"$file") bytes, $(wc -l <"$file") lines; fields 1 and 6 of each."

# Every tool must find the same fields. cut and awk keep the quote
# characters, so those are removed from their output before comparing.
"$csv_cut" -f 1,6 "$file" >"$work/csv_cut.out"
cut -d, -f1,6 --output-delimiter=$'\t' "$file" | tr -d '"' >"$work/cut.out"
awk -F, -v OFS='\t' '{ print $1, $6 }' "$file" | tr -d '"' >"$work/awk.out"
python3 bench/python_cut.py "$file" >"$work/python.out"
for tool in cut awk python; do
    cmp -s "$work/csv_cut.out" "$work/$tool.out" || { echo "whole_file.sh: $tool finds other fields than csv_cut" >&2; exit 1; }
done
rm -f "$work"/*.out

lscpu | grep -E '^(Model name|CPU family|Model):' | tr -s ' '
echo "Date: $(date -u +%Y-%m-%d); $(nproc --all) cores, $(nproc) for this run; the file in the page cache; output to /dev/null."
build/bench/bench/split_bench --benchmark_filter='^memcpy/record$' --benchmark_min_time=0.01 2>&1 | grep -E '^kernel' || true

hyperfine -N --warmup 3 --runs 15 --export-json "$work/times.json" \
    -n csv_cut "$csv_cut -f 1,6 $file" \
    -n "cut -d, -f1,6" "cut -d, -f1,6 $file" \
    -n "awk -F," "awk -F, -v OFS=\\t '{ print \$1, \$6 }' $file" \
    -n "python csv" "python3 bench/python_cut.py $file" \
    -n "wc -l" "wc -l $file" >"$work/hyperfine.log"

python3 - "$work/times.json" <<'PY'
import json, sys
runs = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
ours = runs["csv_cut"]["median"]
print("\n| tool | median ms | min ms | time against csv_cut's |")
print("|---|---|---|---|")
for name, r in runs.items():
    ratio = "" if name == "csv_cut" else f"{r['median'] / ours:.1f}x"
    print(f"| {name} | {r['median'] * 1e3:.1f} | {r['min'] * 1e3:.1f} | {ratio} |")
print(f"\ncsv_cut takes {ours / runs['wc -l']['median']:.1f} times as long as wc -l.")
PY
