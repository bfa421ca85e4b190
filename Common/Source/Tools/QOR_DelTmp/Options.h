// The command line: options s, a and ?, and the usage text.
#pragma once

#include <cstddef>
#include <span>

#include "Platform/Platform.h"

namespace qor {

// Longest argument handled, in characters; the working copy holds this many
// plus a terminator. Longer arguments are refused whole.
inline constexpr std::size_t MaxArgumentLength = 63;

// Reads `args` (program name first, not examined) in order: s sets
// SilentFlag, a sets `deleteAll`, ? prints the usage text.
// @returns false when the usage text was shown or an argument was refused;
// the run then ends with status 0.
bool ParseOptions(Platform& platform, std::span<const Char* const> args, bool& deleteAll);

}  // namespace qor
