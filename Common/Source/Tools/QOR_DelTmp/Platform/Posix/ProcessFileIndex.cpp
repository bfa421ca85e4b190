// The process table scan: every process's open descriptors (/proc/PID/fd)
// and file mappings (/proc/PID/maps), reduced to a sorted list of device and
// inode numbers. It is read when first needed and again once it is stale. A
// process that ends while it is read is passed over; any other failure makes
// the whole reading incomplete, and an incomplete reading vouches for no file.
#include "Platform/Posix/ProcessFileIndex.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace qor {

namespace {

class DirCloser {
 public:
  explicit DirCloser(DIR* dir) : dir_(dir) {}
  ~DirCloser() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  DirCloser(const DirCloser&) = delete;
  DirCloser& operator=(const DirCloser&) = delete;
  [[nodiscard]] DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

// What the kernel answers for a process that has ended since it was listed.
bool ProcessEnded(int error) {
  return error == ENOENT || error == ESRCH;
}

// The next entry of `dir`, or nullptr at its end; `failed` tells an error
// from the end, which readdir does not.
const dirent* NextEntry(DIR* dir, bool& failed) {
  errno = 0;
  const dirent* entry = ::readdir(dir);
  failed = entry == nullptr && errno != 0;
  return entry;
}

bool IsAllDigits(const char* name) {
  if (*name == '\0') return false;
  for (; *name != '\0'; ++name) {
    if (*name < '0' || *name > '9') return false;
  }
  return true;
}

bool ReadWhole(int fd, std::string& out) {
  char chunk[16384];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    out.append(chunk, static_cast<std::size_t>(got));
  }
}

// One line of /proc/PID/maps: "start-end perms offset major:minor inode
// [path]", the device numbers in hex. @returns false for a line of another
// shape; an anonymous mapping yields inode 0.
bool ParseMapping(std::string_view line, dev_t& device, ino_t& inode) {
  std::size_t pos = 0;
  for (int field = 0; field < 3; ++field) {
    pos = line.find(' ', pos);
    if (pos == std::string_view::npos) return false;
    ++pos;
  }
  const char* const end = line.data() + line.size();
  unsigned major = 0;
  unsigned minor = 0;
  std::uintmax_t number = 0;
  auto read = std::from_chars(line.data() + pos, end, major, 16);
  if (read.ec != std::errc{} || read.ptr == end || *read.ptr != ':') return false;
  read = std::from_chars(read.ptr + 1, end, minor, 16);
  if (read.ec != std::errc{}) return false;
  const char* next = read.ptr;
  while (next != end && *next == ' ') ++next;
  read = std::from_chars(next, end, number);
  if (read.ec != std::errc{}) return false;
  device = ::makedev(major, minor);
  inode = static_cast<ino_t>(number);
  return true;
}

}  // namespace

ProcessFileIndex::Use ProcessFileIndex::Lookup(dev_t device, ino_t inode, bool anyDevice) {
  const Clock::time_point now = Clock::now();
  if (!read_ || now - readStart_ > std::max<Clock::duration>(MaxAge, 2 * readLength_)) {
    read_ = true;
    readStart_ = now;
    files_.clear();
    complete_ = Read();
    readLength_ = Clock::now() - readStart_;
  }
  if (!complete_) return Use::Unknown;
  const auto first = std::lower_bound(files_.begin(), files_.end(), std::make_pair(inode, dev_t{}));
  for (auto it = first; it != files_.end() && it->first == inode; ++it) {
    if (anyDevice || it->second == device) return Use::InUse;
  }
  return Use::Unused;
}

bool ProcessFileIndex::Read() {
  const int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (procFd < 0) return false;
  const DirCloser proc(::fdopendir(procFd));
  if (proc.get() == nullptr) {
    ::close(procFd);
    return false;
  }
  // Anything but a proc file system that shows this very process is no
  // answer: an empty folder, or the table of another pid namespace, would
  // make every file look unused.
  struct statfs fs {};
  const std::string self = std::to_string(::getpid());
  if (::fstatfs(procFd, &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC) return false;
  if (::faccessat(procFd, (self + "/fd").c_str(), R_OK, 0) != 0) return false;

  bool failed = false;
  while (const dirent* entry = NextEntry(proc.get(), failed)) {
    if (!IsAllDigits(entry->d_name) || self == entry->d_name) continue;
    const std::string pid = entry->d_name;
    if (!AddDescriptors(procFd, pid) || !AddMappings(procFd, pid)) return false;
  }
  if (failed) return false;
  std::sort(files_.begin(), files_.end());
  files_.erase(std::unique(files_.begin(), files_.end()), files_.end());
  return true;
}

bool ProcessFileIndex::AddDescriptors(int procFd, const std::string& pid) {
  const int fdFolder = ::openat(procFd, (pid + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fdFolder < 0) return ProcessEnded(errno);
  const DirCloser descriptors(::fdopendir(fdFolder));
  if (descriptors.get() == nullptr) {
    ::close(fdFolder);
    return false;
  }
  bool failed = false;
  while (const dirent* entry = NextEntry(descriptors.get(), failed)) {
    if (!IsAllDigits(entry->d_name)) continue;
    // Following the descriptor's link reaches the open file itself, even one
    // whose name has since been removed. ENOENT: the descriptor was closed.
    struct stat st {};
    if (::fstatat(fdFolder, entry->d_name, &st, 0) != 0) {
      if (errno == ENOENT) continue;
      return false;
    }
    if (S_ISREG(st.st_mode)) files_.emplace_back(st.st_ino, st.st_dev);
  }
  return !failed || ProcessEnded(errno);
}

bool ProcessFileIndex::AddMappings(int procFd, const std::string& pid) {
  const int mapsFd = ::openat(procFd, (pid + "/maps").c_str(), O_RDONLY | O_CLOEXEC);
  if (mapsFd < 0) return ProcessEnded(errno);
  std::string text;
  const bool complete = ReadWhole(mapsFd, text);
  ::close(mapsFd);
  if (!complete) return false;
  const std::string_view lines(text);
  for (std::size_t start = 0; start < lines.size();) {
    std::size_t end = lines.find('\n', start);
    if (end == std::string_view::npos) end = lines.size();
    dev_t device = 0;
    ino_t inode = 0;
    if (ParseMapping(lines.substr(start, end - start), device, inode) && inode != 0) {
      files_.emplace_back(inode, device);
    }
    start = end + 1;
  }
  return true;
}

}  // namespace qor
