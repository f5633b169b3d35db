#!/bin/sh
# Builds the rank-error calibration against the library's own core and runs it.
#   calibrate_rank_error.sh                  prints the coverage table (200 streams a row)
#   calibrate_rank_error.sh STREAMS [FAMILY] the same with STREAMS a row, one family (kll, req)
#   calibrate_rank_error.sh table            rewrites src/quantiles/rank_error_table.cpp
# Fixed seeds make every run print the same figures; no floating-point
# contraction keeps the table identical across compilers and machines.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sources=$(ls "$root"/src/quantiles/*.cpp "$root"/src/req/*.cpp "$root"/src/codec/*.cpp "$root"/src/encoding/*.cpp \
    "$root"/src/common/*.cpp)
${CXX:-g++} -std=c++20 -O2 -ffp-contract=off -Wall -Wextra -I"$root/src" "$root/tools/calibrate_rank_error.cpp" \
    $sources -o "$work/calibrate_rank_error"
if [ "${1:-}" = table ]; then
    "$work/calibrate_rank_error" table > "$work/table.cpp"
    mv "$work/table.cpp" "$root/src/quantiles/rank_error_table.cpp"
else
    "$work/calibrate_rank_error" "$@"
fi
