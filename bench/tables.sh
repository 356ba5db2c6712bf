#!/usr/bin/env bash
# Times reading whole CSV files into typed tables, side by side: pandas,
# csv_line.read_pandas (and read_table, once the module has it), the C++
# table bench, Polars and DuckDB, on one thread and on two. Then the same
# readers asked for one numeric column only, summed. Prints the machine and,
# for each *.csv file of DIR, two Markdown tables: best seconds of REPS,
# MB/s, rows and checksum (the sum of every integer and float column, or of
# the one column), and a warning line when the readers count other rows.
#
# Usage (from the project root):
#     python3 bench/make_tables.py /tmp/tables          # the inputs, 100 MB each
#     bench/tables.sh DIR [REPS]
#
# Every time is measured inside its process, after the file has been read
# once into the page cache, best of REPS (default 3), so no start-up is in
# it. One thread is pinned to CPU "$CPUS_1" (default 1), two to "$CPUS_2"
# (default 0,1), every reader alike.
#
# Environment:
#     REPS                 runs of each reader, the best kept (default 3)
#     PYTHON               the Python with numpy and pandas (default /usr/bin/python3)
#     CSV_LINE_PYTHONPATH  the build's python folder (default build/dev/python)
#     TABLE_BENCH          the C++ table bench, run as TABLE_BENCH FILE THREADS REPS and
#                          printing "best_seconds rows checksum"; its rows are left out
#                          when unset or not executable
#     PEERS                the folder where the peers' npm packages are installed
#                          (default /tmp/peers: cp -r the shared peers folder there, then
#                          npm install --no-audit --no-fund in it)
#     SUM_COLUMNS          "FILE=COLUMN ..." the column to sum for each file name; others
#                          get the first numeric column (with a decimal point if any)
#     VERBOSE=1            also prints the column types each reader found
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
dir=${1:?usage: bench/tables.sh DIR [REPS]}
reps=${2:-${REPS:-3}}
python=${PYTHON:-/usr/bin/python3}
peers=${PEERS:-/tmp/peers}
cpus_1=${CPUS_1:-1}
cpus_2=${CPUS_2:-0,1}
table_bench=${TABLE_BENCH:-}
pythonpath=${CSV_LINE_PYTHONPATH:-build/dev/python}
case $pythonpath in
/*) ;;
*) [ -d "$pythonpath" ] || pythonpath=$root/$pythonpath ;;
esac
pythonpath=$(cd "$pythonpath" 2>/dev/null && pwd) || {
    echo "tables.sh: no build python folder at ${CSV_LINE_PYTHONPATH:-build/dev/python}" >&2
    exit 1
}
timing=$here/table_timing.py
log=$(mktemp)
trap 'rm -f "$log"' EXIT
start=$SECONDS

if [ -f "$peers/node_modules/nodejs-polars/package.json" ] && [ -d "$peers/node_modules/@duckdb/node-api" ]; then
    have_peers=1
else
    have_peers=0
    echo "tables.sh: no peers installed in $peers; their rows are left out" >&2
fi

# cpus THREADS: the CPUs a reader on THREADS threads is pinned to.
cpus() {
    if [ "$1" = 1 ]; then echo "$cpus_1"; else echo "$cpus_2"; fi
}

# The rows of the table being made: "reader|threads|seconds|rows|checksum".
results=()

# run LABEL THREADS COMMAND...: runs COMMAND pinned for THREADS threads and
# keeps its last line of output, "best_seconds rows checksum" or a reason.
run() {
    local label=$1 threads=$2 out
    shift 2
    # The subshell pins itself; what it starts inherits its CPUs.
    out=$(taskset -cp "$(cpus "$threads")" "$BASHPID" >/dev/null && "$@" 2>>"$log" | tail -n 1)
    [ -n "$out" ] || out="ERROR no output"
    case $out in
    ABSENT*) results+=("$label|$threads|absent|||") ;;
    ERROR*) results+=("$label|$threads|${out}|||") ;;
    *) read -r seconds rows checksum <<<"$out"
       results+=("$label|$threads|$seconds|$rows|$checksum") ;;
    esac
}

ours() {
    PYTHONPATH=$pythonpath "$python" "$timing" "$@"
}

polars() {
    local threads=$1
    shift
    (cd "$peers" && POLARS_MAX_THREADS=$threads node polars.js "$@")
}

duck() {
    (cd "$peers" && node duck.js "$@")
}

# table TITLE FILE: prints the rows gathered as a Markdown table, then a
# warning when the readers that ran count other rows, and a note when their
# checksums differ by more than rounding.
table() {
    local title=$1 file=$2 bytes
    bytes=$(stat -c %s "$file")
    echo
    echo "$title"
    echo
    echo "| reader | threads | best s | MB/s | rows | checksum |"
    echo "| --- | ---: | ---: | ---: | ---: | ---: |"
    printf '%s\n' "${results[@]}" | awk -F'|' -v bytes="$bytes" '
        {
            speed = ($3 ~ /^[0-9.]+$/ && $3 > 0) ? sprintf("%.0f", bytes / 1e6 / $3) : ""
            printf "| %s | %s | %s | %s | %s | %s |\n", $1, $2, $3, speed, $4, $5
        }'
    printf '%s\n' "${results[@]}" | awk -F'|' '
        $4 != "" {
            name = $1 " (" $2 ")"
            if (rows == "") { rows = $4; first = name; sum = $5 }
            if ($4 != rows) rowsdiffer = rowsdiffer " " name "=" $4
            d = $5 - sum; if (d < 0) d = -d
            m = sum < 0 ? -sum : sum
            if (d > 1e-9 * (m > 1 ? m : 1)) sumsdiffer = sumsdiffer " " name "=" $5
        }
        END {
            if (rowsdiffer != "") printf "\nWARNING: rows differ from %s=%s:%s\n", first, rows, rowsdiffer
            if (sumsdiffer != "") printf "\nNote: checksums differ from %s=%s:%s\n", first, sum, sumsdiffer
        }'
}

echo "# Typed tables, best of $reps"
echo
lscpu | grep -E '^(Model name|CPU family|Model):' | tr -s ' ' | sed 's/^/    /'
echo "    $(date -u +%Y-%m-%d); $(nproc --all) cores; one thread on CPU $cpus_1, two on CPUs $cpus_2"
echo "    csv_line from $pythonpath; C++ table bench: ${table_bench:-none}"

for file in "$dir"/*.csv; do
    [ -f "$file" ] || continue
    file=$(cd "$(dirname "$file")" && pwd)/$(basename "$file")
    name=$(basename "$file")
    cat "$file" >/dev/null
    : >"$log"

    results=()
    run "pandas.read_csv" 1 ours pandas "$file" 1 "$reps"
    for t in 1 2; do run "csv_line.read_pandas" "$t" ours read_pandas "$file" "$t" "$reps"; done
    for t in 1 2; do run "csv_line.read_table" "$t" ours read_table "$file" "$t" "$reps"; done
    if [ -n "$table_bench" ] && [ -x "$table_bench" ]; then
        for t in 1 2; do run "C++ table bench" "$t" "$table_bench" "$file" "$t" "$reps"; done
    fi
    if [ "$have_peers" = 1 ]; then
        for t in 1 2; do run "Polars" "$t" polars "$t" "$file" "$reps"; done
        for t in 1 2; do run "DuckDB" "$t" duck "$file" "$t" "$reps"; done
    fi
    table "## $name ($(awk -v b="$(stat -c %s "$file")" 'BEGIN { printf "%.1f", b / 1e6 }') MB): every column" "$file"
    if [ "${VERBOSE:-0}" = 1 ]; then
        echo
        grep ' types: ' "$log" | sort -u | sed 's/^/    /'
    fi

    column=
    for pair in ${SUM_COLUMNS:-}; do
        [ "${pair%%=*}" = "$name" ] && column=${pair#*=}
    done
    [ -n "$column" ] || column=$("$python" "$timing" --pick-column "$file")
    if [ -z "$column" ]; then
        echo
        echo "(no numeric column to sum in $name)"
        continue
    fi
    results=()
    run "pandas.read_csv usecols" 1 ours pandas "$file" 1 "$reps" "$column"
    for t in 1 2; do run "csv_line.read_columns usecols" "$t" ours read_columns "$file" "$t" "$reps" "$column"; done
    if [ "$have_peers" = 1 ]; then
        for t in 1 2; do run "Polars scan" "$t" polars "$t" "$file" "$reps" "$column"; done
        for t in 1 2; do run "DuckDB" "$t" duck "$file" "$t" "$reps" "$column"; done
    fi
    table "## $name: the sum of column $column" "$file"
done

echo
echo "(whole run: $((SECONDS - start)) s)"
