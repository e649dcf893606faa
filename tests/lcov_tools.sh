#!/bin/sh
# keltosim's tracefile as lcov's own tools read it: two runs merged, the
# summary and an HTML report. Skipped (77) where lcov is missing.
set -eu
keltosim=$1 image=$2 out=$3
command -v lcov >/dev/null && command -v genhtml >/dev/null || exit 77
rm -rf "$out" && mkdir -p "$out"
"$keltosim" --coverage "$out/run.info" "$image" >/dev/null
"$keltosim" --coverage "$out/run.info" "$image" >/dev/null
grep -qx 'FNDA:2,main' "$out/run.info"
lcov --rc lcov_branch_coverage=1 --summary "$out/run.info" 2>&1 | grep -q 'branches.*(7 of 10'
genhtml -q --branch-coverage --demangle-cpp -o "$out/html" "$out/run.info"
test -s "$out/html/index.html"
