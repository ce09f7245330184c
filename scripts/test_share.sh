#!/usr/bin/env bash
# Prints the share of the hand-written lines that are tests: files under tests/ and *_test.*
# files are tests; every other .h, .cc and .py file that git tracks, outside bench/ and fuzz/,
# is code. Blank lines and lines holding only a comment do not count.
#
#   scripts/test_share.sh      # tests: 9876 of 34567 lines (28.6 %)
set -euo pipefail
cd "$(dirname "$0")/.."

# The counted lines of the files named on standard input, one path a line.
counted() {
  xargs -r -d '\n' awk '
    /^[[:space:]]*$/ { next }
    FILENAME ~ /\.py$/ && /^[[:space:]]*#/ { next }
    FILENAME !~ /\.py$/ && /^[[:space:]]*(\/\/|\/\*|\*)/ { next }
    { n++ }
    END { print n + 0 }' | awk '{ sum += $1 } END { print sum + 0 }'
}

files=$(git ls-files '*.h' '*.cc' '*.py' | grep -v -E '^(bench|fuzz)/')
tests=$(grep -E '^tests/|_test\.' <<<"$files" | counted)
all=$(counted <<<"$files")
awk -v t="$tests" -v a="$all" 'BEGIN {
  printf "tests: %d of %d lines (%.1f %%)\n", t, a, (a ? 100 * t / a : 0) }'
