// Listing a folder and deleting from it, for the POSIX body: the layer below
// PosixPlatform, which opens listings here and shares its time and name
// conversions. Includes nothing of the POSIX body above it.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "Platform/Platform.h"
#include "Platform/Posix/ProcessFileIndex.h"

namespace qor {

// Points where a test can act between a listing and a deletion, and faults
// it can force. The tool itself never sets them.
struct PosixDeleteHooks {
  // Called with the entry's name just before it is opened to be deleted.
  std::function<void(std::string_view name)> beforeOpen;
  // Called with the entry's name just before it is unlinked.
  std::function<void(std::string_view name)> beforeUnlink;
  // When nonzero, no lease is asked for and this errno stands for the refusal.
  int leaseError = 0;
  // Where the process table is read when a lease cannot decide.
  std::string procRoot = "/proc";
  // How many cursors over one listing delete at once while these hooks are
  // set (SweepWorkers). With one, the hooks are never called concurrently.
  unsigned sweepWorkers = 1;
};

// What every listing of one run shares when it deletes: the hooks and the
// process table, read again whenever it is stale.
struct PosixDeleteContext {
  explicit PosixDeleteContext(PosixDeleteHooks hooksIn)
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
                                           PosixDeleteContext& context);

// How many cursors over one listing delete at once by default.
unsigned DefaultSweepWorkers();

// A time as the kernel gives it, as a FileTime: clamped to 0 before 1601 and
// to the largest FileTime beyond its range.
FileTime ToFileTime(const timespec& ts);

// Each byte becomes the character of the same value. Reuses `out`'s storage,
// so a listing widens each name without allocating once it has grown.
void AssignWidened(std::string_view bytes, String& out);

}  // namespace qor
