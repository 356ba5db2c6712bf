#!/usr/bin/env bash
# The Debian packages as a user gets them: builds them (and the same
# packages numbered 0.9.0, to upgrade from), checks them with lintian,
# installs the old ones and then the new over them with dpkg, builds and
# runs the consumer programs and the installed report program against them
# with no hints (install_test.sh -), reads a file with the installed Python
# module from outside the source tree, then purges them and checks that no
# file of theirs, nor any Python byte code, is left. Leaves the system as
# it found it, even when a step fails. Needs root, and a system without
# these packages; skipped, saying so, otherwise.
# Usage (from the project root): tests/package_test.sh
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
    echo "package test skipped: installing packages needs root"
    exit 0
fi
packages=(libcsv-line1 libcsv-line-dev test-csv-parse python3-csv-line)
for package in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q installed; then
        echo "package test skipped: $package is installed here already, and the test would remove it"
        exit 0
    fi
done
work=$(mktemp -d)
cleanup() {
    dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --workflow --preset packages >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "building the packages"; }
cpack --preset packages -D CPACK_PACKAGE_VERSION=0.9.0 -B "$work/old" >"$work/old.log" 2>&1 ||
    { cat "$work/old.log"; fail "building the 0.9.0 packages"; }
version=$(sed -n 's/^project(csv_line VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
new=(build/packages/*_"$version"-1_*.deb)
old=("$work"/old/*_0.9.0-1_*.deb)
[ "${#new[@]}" = 4 ] && [ "${#old[@]}" = 4 ] || fail "want four packages of each version: ${new[*]} ${old[*]}"
for deb in "${new[@]}"; do
    echo "$(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version): $(stat -c %s "$deb") bytes;" \
         "depends on: $(dpkg-deb -f "$deb" Depends)"
done

echo "lintian:"
lintian --fail-on error "${new[@]}" | sed 's/^/  /' || fail "lintian found errors"

# dpkg refuses to overwrite a file that another package owns, so both
# installations also prove that none is.
dpkg -i "${old[@]}" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "installing 0.9.0"; }
dpkg -i "${new[@]}" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "installing $version over 0.9.0"; }
for package in "${packages[@]}"; do
    [ "$(dpkg-query -W -f='${Version}' "$package")" = "$version"-1 ] || fail "$package is not at $version-1"
done

bash tests/install_test.sh - . cc c++ "" "" ""
[ "$(printf 'id,"a, b"\n' | /usr/bin/csv_cut -f 2)" = "a, b" ] || fail "the installed csv_cut does not cut"
[ -s /usr/share/man/man1/csv_cut.1.gz ] || fail "csv_cut's manual page is not installed"
libraries=$(ldd /usr/bin/test_csv_parse)
grep -q -E "libcsv_line.so.1 => (/usr)?/lib/x86_64-linux-gnu/" <<<"$libraries" ||
    fail "the installed program does not use the installed library: $libraries"

# The Python module, from Debian's interpreter in a directory outside the
# source tree, so that nothing but the installed package can be imported;
# its extension on the installed library, its modules byte-compiled by
# the package's postinst.
module=/usr/lib/python3/dist-packages/csv_line
libraries=$(ldd "$module"/_core.*.so)
grep -q -E "libcsv_line.so.1 => (/usr)?/lib/x86_64-linux-gnu/" <<<"$libraries" ||
    fail "the installed Python extension does not use the installed library: $libraries"
compgen -G "$module/__pycache__/__init__.cpython-*.pyc" >/dev/null || fail "the Python module is not byte-compiled"
printf 'id,name,price\n1,"a, b",2.5\n2,"two\nlines",4\n' >"$work/prices.csv"
(cd "$work" && /usr/bin/python3 -c '
import csv_line
assert csv_line.__file__ == "/usr/lib/python3/dist-packages/csv_line/__init__.py", csv_line.__file__
rows = list(csv_line.reader("prices.csv"))
assert rows == [["id", "name", "price"], ["1", "a, b", "2.5"], ["2", "two\nlines", "4"]], rows
columns = csv_line.read_columns("prices.csv")
assert columns["id"].dtype.kind == "i" and columns["price"].tolist() == [2.5, 4.0], columns
assert csv_line.ranges("prices.csv", 2) == [(0, 27), (27, 43)], csv_line.ranges("prices.csv", 2)
') || fail "the installed Python module does not read a file"
echo "installed: the Python module, byte-compiled, reads a file with Debian's python3 on the installed library"

files=$(for deb in "${new[@]}"; do dpkg-deb -c "$deb"; done | awk '$1 !~ /^d/ { print $6 }' | sed 's/^\.//')
dpkg --purge "${packages[@]}" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "purging the packages"; }
left=$(for file in $files; do [ ! -e "$file" ] && [ ! -L "$file" ] || echo "$file"; done)
[ -z "$left" ] || fail "left after purging: $left"
[ ! -e /usr/share/doc/libcsv-line1 ] || fail "/usr/share/doc/libcsv-line1 left after purging"
[ ! -e "$module" ] || fail "left after purging: $(find "$module")"
echo "packages: built, checked, installed over 0.9.0, used, and purged without a trace"
