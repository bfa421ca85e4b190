// The candidate folders: where the sweep looks, in the order it looks.
#pragma once

#include <cstddef>
#include <vector>

#include "Platform/Platform.h"

namespace qor {

// At most four folders, in sweep order; duplicates are kept.
using TempDirList = std::vector<String>;

// Fills `list` with the system temp folder, the shared QORTemp folder and the
// spool folder when each exists, then the user's temp folder unprobed.
// @returns the number of folders in the list.
std::size_t CollectTempDirs(Platform& platform, TempDirList& list);

// True when `path` names an existing folder and no interrupt has come.
bool IsExistingDirectory(Platform& platform, StringView path);

}  // namespace qor
