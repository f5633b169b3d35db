#!/bin/sh
# Regenerates src/hll/hllpp_bias_table.cpp from the simulation in
# tools/gen_hllpp_bias.cpp. Fixed seeds and exact register sums make the
# output identical on every run; strict floating-point contraction keeps it
# identical across compilers.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
${CXX:-g++} -std=c++20 -O2 -ffp-contract=off -I"$root/src" \
    "$root/tools/gen_hllpp_bias.cpp" -o "$work/gen_hllpp_bias"
"$work/gen_hllpp_bias" "$root/src/hll/hllpp_bias_table.cpp"
