#!/usr/bin/env bash
# The whole native test suite once more, built with AddressSanitizer and
# UndefinedBehaviorSanitizer; any report ends the test that made it.
set -euo pipefail
cmake --preset linux-asan
cmake --build --preset linux-asan
ctest --preset linux-asan
