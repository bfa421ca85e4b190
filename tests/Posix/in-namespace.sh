#!/usr/bin/env bash
# Runs a test program in a mount and pid namespace of its own, with a /proc of that namespace.
# Exit: the program's, or 77 (skipped) where namespaces are not permitted.
unshare --mount --pid --fork --mount-proc true 2>/dev/null || {
  echo "SKIPPED: no mount and pid namespaces here (needs root)"
  exit 77
}
exec unshare --mount --pid --fork --mount-proc "$@"
