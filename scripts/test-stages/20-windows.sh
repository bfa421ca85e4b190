#!/usr/bin/env bash
# Windows cross build (mingw-w64) and its test under Wine, in the build's own
# scratch prefix: QOR_DelTmp.exe on generated fixtures.
set -euo pipefail
cmake --preset windows-release
cmake --build --preset windows-release

prefix=$(realpath -m build/windows-release/wineprefix)
# Makes the prefix on first use, before a persistent wineserver holds it.
scripts/wine-run.sh "$prefix" cmd /c "exit 0"
# One wineserver for the whole stage: each Wine process then starts in about
# a second instead of waiting for a server to come up. The one left over from
# making the prefix is replaced by a persistent one.
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
WINEPREFIX="$prefix" wineserver -p
trap 'WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true' EXIT

ctest --preset windows-release
