#!/usr/bin/env bash
# Counts non-blank lines of tracked files: product code against test code.
#   product: C and C++ sources and headers outside tests/ and fuzz/ (the module,
#            the reference host, the tools, the adapters, the benchmarks), and
#            the Python package kzrfx (python/kzrfx/), which is installed and
#            whose own tests count on the test side
#   tests:   C/C++ sources, headers, shell and Python scripts under tests/ and
#            fuzz/ (golden data, fuzz corpora and CMake files are not code)
#   tooling: shell and Python scripts elsewhere, shown for information and
#            counted on neither side
# Usage: scripts/count-lines.sh [repository root, default: this script's]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

count() {  # non-blank lines of the files named on stdin, one per line
    local total=0 n f
    while IFS= read -r f; do
        [ -f "$f" ] || continue
        n=$(grep -cv '^[[:space:]]*$' "$f" || true)
        total=$((total + n))
    done
    echo "$total"
}

files() { git ls-files --cached --others --exclude-standard; }
code='\.(c|cc|cpp|h|hpp)$'
script='\.(sh|py)$'

package='^python/kzrfx/.*\.py$'
product=$( (files | grep -Ev '^(tests|fuzz)/' | grep -E "$code"; files | grep -E "$package") | count)
tests=$(files | grep -E '^(tests|fuzz)/' | grep -E "$code|$script" | count)
tooling=$(files | grep -Ev '^(tests|fuzz)/' | grep -Ev "$package" | grep -E "$script" | count)

printf 'product code: %6d lines\n' "$product"
printf 'test code:    %6d lines\n' "$tests"
printf 'tooling:      %6d lines (scripts outside tests/, not counted)\n' "$tooling"
awk -v t="$tests" -v p="$product" 'BEGIN {
    if (p == 0) { print "ratio: no product code"; exit }
    printf "tests / product: %.3f (1/%.2f)\n", t / p, p / (t ? t : 1) }'
