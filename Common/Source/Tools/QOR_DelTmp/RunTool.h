// The whole run, on top of everything else: arm the interrupt handler, read
// the options, sweep, report. Only the process entry points include this.
#pragma once

#include <span>

#include "Platform/Platform.h"

namespace qor {

// `args` is the full argument vector, program name first.
// @returns the process exit status.
int RunTool(Platform& platform, std::span<const Char* const> args);

}  // namespace qor
