#!/bin/sh
# Builds the bound calibration against the library's own core and prints the
# coverage table (the argument, if any, is the number of streams per row).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sources=$(ls "$root"/src/*/*.cpp | grep -v '/src/python/')
${CXX:-g++} -std=c++20 -O2 -I"$root/src" "$root/tools/calibrate_bounds.cpp" $sources -o "$work/calibrate_bounds"
"$work/calibrate_bounds" "$@"
