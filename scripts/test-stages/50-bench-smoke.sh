#!/usr/bin/env bash
# Benchmark smoke run: one run at 10,000 entries shows that the benchmark
# still builds and runs, and that QOR_DelTmp, GNU find and the unlink floor
# still make exactly the same deletions. It prints figures; no time is
# asserted. The plot is left out (gnuplot is not needed here).
set -euo pipefail
bash bench/run.sh --sizes 10000 --runs 1 --no-plot
