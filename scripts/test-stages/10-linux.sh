#!/usr/bin/env bash
# Native debug build: the generated end-to-end run and the fault sweep.
set -euo pipefail
cmake --preset linux-debug
cmake --build --preset linux-debug
ctest --preset linux-debug
