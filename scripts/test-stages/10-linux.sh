#!/usr/bin/env bash
# Native debug build: unit, integration and end-to-end tests.
set -euo pipefail
cmake --preset linux-debug
cmake --build --preset linux-debug
ctest --preset linux-debug
