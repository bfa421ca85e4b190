#!/usr/bin/env bash
# Builds and runs every test. Fails when any build or test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset linux-debug
cmake --build --preset linux-debug
ctest --preset linux-debug
