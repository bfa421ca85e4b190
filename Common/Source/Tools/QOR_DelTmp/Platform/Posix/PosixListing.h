// Listing a folder and deleting from it, for the POSIX body: what
// PosixPlatform.cpp needs to open a listing, and the conversions it shares.
#pragma once

#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "Platform/Platform.h"
#include "Platform/Posix/PosixPlatform.h"
#include "Platform/Posix/ProcessFileIndex.h"

namespace qor {

struct PosixPlatform::DeleteContext {
  explicit DeleteContext(PosixDeleteHooks hooksIn)
      : hooks(std::move(hooksIn)), processFiles(hooks.procRoot) {}
  PosixDeleteHooks hooks;
  // Listings of one folder delete side by side; the first that needs the
  // process table reads it while the others wait.
  std::mutex processFilesLock;
  ProcessFileIndex processFiles;
};

// A listing of the folder open on `folderFd` (which it takes over and
// closes), giving the names that match `pattern` and deleting through
// `context`; nullptr when no name matches.
std::unique_ptr<Listing> OpenFolderListing(int folderFd, std::string pattern,
                                           PosixPlatform::DeleteContext& context);

// How many cursors over one listing delete at once by default.
unsigned DefaultSweepWorkers();

// A time as the kernel gives it, as a FileTime: clamped to 0 before 1601 and
// to the largest FileTime beyond its range.
FileTime ToFileTime(const timespec& ts);

// Each byte becomes the character of the same value. Reuses `out`'s storage,
// so a listing widens each name without allocating once it has grown.
void AssignWidened(std::string_view bytes, String& out);

}  // namespace qor
