#!/bin/sh
# Regenerates src/hll/hllpp_bias_table.cpp (or the file named as the first
# argument) from the simulation in tools/gen_hllpp_bias.cpp. Fixed seeds and
# exact register sums make the output identical on every run; no
# floating-point contraction keeps it identical across compilers and machines.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
output=${1:-"$root/src/hll/hllpp_bias_table.cpp"}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
${CXX:-g++} -std=c++20 -O2 -ffp-contract=off -I"$root/src" \
    "$root/tools/gen_hllpp_bias.cpp" -o "$work/gen_hllpp_bias"
"$work/gen_hllpp_bias" "$output"
