#!/bin/sh
# Builds the bound calibration against the library's own core and runs it.
#   calibrate_bounds.sh                  prints the coverage table (2,000 streams a row)
#   calibrate_bounds.sh STREAMS [FAMILY] the same with STREAMS a row, one family
#                                        (theta, hll, hllpp, linear, cpc)
#   calibrate_bounds.sh table            rewrites src/hll/register_error_table.cpp
# Fixed seeds make every run print the same figures; no floating-point
# contraction keeps the table identical across compilers and machines.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The families the calibration drives, and what their images use.
sources=$(ls "$root"/src/theta/*.cpp "$root"/src/hll/*.cpp "$root"/src/linear/*.cpp "$root"/src/cpc/*.cpp \
    "$root"/src/codec/*.cpp "$root"/src/encoding/*.cpp "$root"/src/common/*.cpp)
${CXX:-g++} -std=c++20 -O2 -ffp-contract=off -I"$root/src" "$root/tools/calibrate_bounds.cpp" $sources \
    -o "$work/calibrate_bounds"
if [ "${1:-}" = table ]; then
    "$work/calibrate_bounds" table > "$work/table.cpp"
    mv "$work/table.cpp" "$root/src/hll/register_error_table.cpp"
else
    "$work/calibrate_bounds" "$@"
fi
