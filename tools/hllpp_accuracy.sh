#!/bin/sh
# Builds and runs the HLL++ accuracy measurement against the library's own
# estimator and bias tables. Arguments (MIN_P MAX_P) are passed on.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
${CXX:-g++} -std=c++20 -O2 -I"$root/src" "$root/tools/hllpp_accuracy.cpp" "$root/src/hll/hllpp_estimator.cpp" \
    "$root/src/hll/hllpp_bias_table.cpp" "$root/src/hll/hllpp_sketch.cpp" "$root/src/codec/codec.cpp" \
    -o "$work/hllpp_accuracy"
"$work/hllpp_accuracy" "$@"
