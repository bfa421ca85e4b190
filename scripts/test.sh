#!/usr/bin/env bash
# Builds and runs every test: each script in scripts/test-stages/ in name
# order. Fails when any stage fails.
set -euo pipefail
cd "$(dirname "$0")/.."

for stage in scripts/test-stages/*.sh; do
  echo "==== ${stage##*/}"
  start=$SECONDS
  bash "$stage"
  echo "==== ${stage##*/} passed in $((SECONDS - start)) s"
done
echo "==== all stages passed"
