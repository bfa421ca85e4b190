// Listing a folder and deleting from it, for the POSIX body: the layer below
// PosixPlatform, which opens listings here and shares its time and name
// conversions. Includes nothing of the POSIX body above it.
#pragma once

#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "Platform/Platform.h"
#include "Platform/Posix/ProcessFileIndex.h"

namespace qor {

// What every listing of one run shares when it deletes: the process table,
// read again whenever it is stale. Listings of one folder delete side by
// side; the first that needs the table reads it while the others wait.
struct PosixDeleteContext {
  std::mutex processFilesLock;
  ProcessFileIndex processFiles;
};

// A listing of the folder open on `folderFd` (which it takes over and
// closes), giving the names that match `pattern` and deleting through
// `context`; nullptr when no name matches.
std::unique_ptr<Listing> OpenFolderListing(int folderFd, std::string pattern,
                                           PosixDeleteContext& context);

// A time as the kernel gives it, as a FileTime: clamped to 0 before 1601 and
// to the largest FileTime beyond its range.
FileTime ToFileTime(const timespec& ts);

// Each byte becomes the character of the same value. Reuses `out`'s storage,
// so a listing widens each name without allocating once it has grown.
void AssignWidened(std::string_view bytes, String& out);

}  // namespace qor
