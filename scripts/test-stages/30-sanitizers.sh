#!/usr/bin/env bash
# The generated run once more (100 seeds), built with AddressSanitizer and
# UndefinedBehaviorSanitizer; any report ends the test that made it. (The
# end-to-end Ctrl+C runs and steps drive the tool under ptrace, where LeakSanitizer
# cannot work: they turn the leak check off for those runs only. The fault
# sweep is left out: a failed mmap there ends the sanitizer's own allocator,
# not the tool.)
set -euo pipefail
cmake --preset linux-asan
cmake --build --preset linux-asan
ctest --preset linux-asan

# The sweep's cursors run in threads wherever two processors are free: the
# generated runs once more under ThreadSanitizer.
cmake --preset linux-tsan
cmake --build --preset linux-tsan
ctest --preset linux-tsan -R '^e2e_linux$'
