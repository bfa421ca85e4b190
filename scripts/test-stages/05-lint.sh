#!/usr/bin/env bash
# Formatting and static analysis of the project's own C++ sources, and a
# clang build of the tool with warnings as errors.
set -euo pipefail

mapfile -t sources < <(git ls-files '*.cpp' '*.h' | grep -v '^build/')
clang-format --dry-run --Werror "${sources[@]}"
echo "clang-format: ${#sources[@]} files clean"

# clang-tidy reads the compile commands of the native debug build; one unit
# per process, two at a time.
cmake --preset linux-debug >/dev/null
mapfile -t units < <(git ls-files 'Common/Source/Tools/QOR_DelTmp/*.cpp' \
  | grep -v '/Platform/Win32/')
if ! report=$(printf '%s\n' "${units[@]}" \
  | xargs -P 2 -n 1 clang-tidy --quiet -p build/linux-debug --warnings-as-errors='*' 2>&1); then
  printf '%s\n' "$report"
  exit 1
fi
echo "clang-tidy: ${#units[@]} translation units clean"

# The tool built by clang with warnings as errors, -Wcomma among them (a comma
# expression is no way to join statements).
cmake --preset linux-clang >/dev/null
cmake --build --preset linux-clang >/dev/null
echo "clang: the tool builds without a warning (-Wall -Wextra -Wpedantic -Wcomma)"
