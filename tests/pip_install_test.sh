#!/usr/bin/env bash
# `pip install .` as a Python user runs it, offline: in a fresh virtual
# environment of the interpreter the module is built for, which sees the
# system's packages (numpy, setuptools), pip installs the source tree with
# no build isolation and no index, so setup.py's CMake build makes the
# extension; then, from a directory outside the source tree, the installed
# package must hold every Python file of python/csv_line, its type stubs
# and py.typed beside the extension, and read a file.
# Usage: pip_install_test.sh PYTHON SOURCE_DIR
set -euo pipefail
python=$1
source=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$python" -m venv --system-site-packages "$work/venv" >"$work/venv.log" 2>&1 ||
    { cat "$work/venv.log"; fail "no virtual environment from $python (on Debian: apt-get install python3-venv)"; }
# Nothing from the network nor from this machine's pip configuration.
export PIP_CONFIG_FILE=/dev/null PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_CACHE_DIR=1
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
"$work/venv/bin/python" -m pip install --no-build-isolation --no-index "$source" >"$work/pip.log" 2>&1 ||
    { cat "$work/pip.log"; fail "pip install --no-build-isolation --no-index $source"; }

printf 'id,name,price\n1,"a, b",2.5\n2,"two\nlines",4\n' >"$work/prices.csv"
cd "$work"
"$work/venv/bin/python" -c '
import os, sys
import csv_line
package = os.path.dirname(csv_line.__file__)
assert package.startswith(sys.prefix + os.sep), (package, sys.prefix)
installed = set(os.listdir(package))
wanted = {name for name in os.listdir(os.path.join(sys.argv[1], "python", "csv_line"))
          if name.endswith((".py", ".pyi")) or name == "py.typed"}
assert wanted <= installed, ("missing", wanted - installed)
assert any(name.startswith("_core.") and name.endswith(".so") for name in installed), installed
rows = list(csv_line.reader("prices.csv"))
assert rows == [["id", "name", "price"], ["1", "a, b", "2.5"], ["2", "two\nlines", "4"]], rows
columns = csv_line.read_columns("prices.csv")
assert columns["id"].dtype.kind == "i" and columns["price"].tolist() == [2.5, 4.0], columns
assert csv_line.ranges("prices.csv", 2) == [(0, 27), (27, 43)], csv_line.ranges("prices.csv", 2)
' "$source" || fail "the module pip installed does not read a file"
echo "pip install: built by CMake, installed in a virtual environment, read a file from $work"
