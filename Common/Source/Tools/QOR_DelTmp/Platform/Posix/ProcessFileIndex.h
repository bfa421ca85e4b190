// Which files other processes hold open or mapped, read from /proc.
// Used only where a lease cannot tell whether a file is in use.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace qor {

class ProcessFileIndex {
 public:
  enum class Use {
    Unused,   // no process holds the file, in a complete and recent reading
    InUse,    // some other process has it open or mapped
    Unknown,  // the process table could not be read completely
  };

  // A reading is trusted for this long from the moment it began, or for
  // twice as long as it took, whichever is longer: a table that takes longer
  // to read than this could never be fresh.
  static constexpr std::chrono::milliseconds MaxAge{100};

  // Looks the file up in a reading of the process table that began no
  // earlier than the age above, reading the table again when the last
  // reading is older. With `anyDevice`, an inode number held on any device
  // counts: a mapping made through overlayfs may be reported with the device
  // of the layer below, and a false match only keeps a file.
  Use Lookup(dev_t device, ino_t inode, bool anyDevice);

 private:
  using Clock = std::chrono::steady_clock;

  // Each @returns false when the table, or this process's part of it, could
  // not be read completely (a process that has ended meanwhile is complete).
  bool Read();
  bool AddDescriptors(int procFd, const std::string& pid);
  bool AddMappings(int procFd, const std::string& pid);

  bool read_ = false;
  bool complete_ = false;
  Clock::time_point readStart_;
  Clock::duration readLength_{};
  std::vector<std::pair<ino_t, dev_t>> files_;  // sorted by inode, then device
};

}  // namespace qor
