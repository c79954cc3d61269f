#!/bin/sh
# The module must export exactly its two entry points.
set -eu
found=$(nm -D --defined-only "$1" | awk '{print $3}' | sort | tr '\n' ' ')
expected="KZR_DSP_DeInitModule KZR_DSP_InitModule "
if [ "$found" != "$expected" ]; then
  echo "exported symbols: $found"
  echo "expected:         $expected"
  exit 1
fi
echo "exports: $found"
