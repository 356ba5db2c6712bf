#!/usr/bin/env bash
# The package's types: the Python examples and tests checked by mypy
# against the stubs of the package as built (found on MYPYPATH), and the
# stubs against the module itself by mypy's stubtest, which imports it:
# every entry, argument and default as the module has them. Skipped (exit
# 77) where mypy is not installed.
# Usage: python_types_test.sh PYTHON SOURCE_DIR PACKAGE_PARENT_DIR
set -euo pipefail
python=$1
source=$(cd "$2" && pwd)
built=$(cd "$3" && pwd)
if ! "$python" -c "import mypy" 2>/dev/null; then
    echo "python_types skipped: mypy is not installed (on Debian: apt-get install mypy)"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export MYPY_CACHE_DIR=$work/cache MYPYPATH=$built
config=$source/tests/python/mypy.ini
(cd "$source" && "$python" -m mypy --config-file "$config" examples/python tests/python)
(cd "$work" && PYTHONPATH=$built "$python" -m mypy.stubtest csv_line --mypy-config-file "$config")
