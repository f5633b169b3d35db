#!/bin/sh
# Builds the bound calibration against the library's own core and runs it.
#   calibrate_bounds.sh                  prints the coverage table (2,000 streams a row)
#   calibrate_bounds.sh STREAMS [FAMILY] the same with STREAMS a row, one family
#                                        (theta, hll, hllpp, linear)
#   calibrate_bounds.sh table            rewrites src/hll/register_error_table.cpp
# Fixed seeds make every run print the same figures; no floating-point
# contraction keeps the table identical across compilers and machines.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sources=$(ls "$root"/src/*/*.cpp | grep -v '/src/python/')
${CXX:-g++} -std=c++20 -O2 -ffp-contract=off -I"$root/src" "$root/tools/calibrate_bounds.cpp" $sources \
    -o "$work/calibrate_bounds"
if [ "${1:-}" = table ]; then
    "$work/calibrate_bounds" table > "$work/table.cpp"
    mv "$work/table.cpp" "$root/src/hll/register_error_table.cpp"
else
    "$work/calibrate_bounds" "$@"
fi
