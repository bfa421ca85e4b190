// Which files other processes hold open or mapped, read from /proc.
// Used only where a lease cannot tell whether a file is in use.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace qor {

class ProcessFileIndex {
 public:
  enum class Use {
    Unused,   // no process that could be inspected holds the file
    InUse,    // some other process has it open or mapped
    Unknown,  // the process table could not be read at all
  };

  // `procRoot` is where the proc file system is mounted.
  explicit ProcessFileIndex(std::string procRoot) : procRoot_(std::move(procRoot)) {}

  // Looks the file up, reading the process table on the first call only.
  // With `anyDevice`, an inode number held on any device counts: a mapping
  // made through overlayfs may be reported with the device of the layer
  // below, and a false match only keeps a file.
  Use Lookup(dev_t device, ino_t inode, bool anyDevice);

 private:
  // @returns false when the table cannot be read (no proc file system, or
  // one that does not show this process).
  bool Build();
  void AddDescriptors(int procFd, const std::string& pid);
  void AddMappings(int procFd, const std::string& pid);

  std::string procRoot_;
  bool built_ = false;
  bool readable_ = false;
  std::vector<std::pair<ino_t, dev_t>> files_;  // sorted by inode, then device
};

}  // namespace qor
