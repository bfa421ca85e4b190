// Listing a folder (getdents64, names matched as bytes first) and deleting
// from it. Every file operation is relative to the folder the listing opened,
// so renaming it or swapping it for a link mid-pass cannot redirect a deletion.
#include "Platform/Posix/PosixListing.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/Posix/ProcessFileIndex.h"
#include "WildcardMatch.h"

namespace qor {

namespace {

// Seconds from 1601-01-01 (FileTime's epoch) to 1970-01-01 (time_t's).
constexpr std::int64_t EpochDifferenceSeconds = 11'644'473'600;
constexpr std::int64_t UnitsPerSecond = 10'000'000;

// Large enough that a folder of a million names is read in a few hundred
// calls, small enough to keep the process's footprint flat. Split in two
// halves, one read while the other is taken from.
constexpr std::size_t ListingBufferSize = std::size_t{256} * 1024;

// The kernel's linux_dirent64 record: inode (8 bytes), offset (8), record
// length (2), type (1), then the terminated name.
constexpr std::size_t DirentReclenOffset = 16;
constexpr std::size_t DirentTypeOffset = 18;
constexpr std::size_t DirentNameOffset = 19;

EntryInfo InfoOf(const struct stat& st) {
  EntryInfo info;
  info.kind = (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) ? EntryKind::File
              : S_ISDIR(st.st_mode)                        ? EntryKind::Directory
                                                           : EntryKind::Other;
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.lastWrite = ToFileTime(st.st_mtim);
  return info;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Owns one descriptor; Close() may give it up early.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() { Close(); }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;

  [[nodiscard]] int Fd() const { return fd_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// One read of a folder, shared by every cursor over it: cursors in other
// threads take the next matching entry in turn, so each entry goes to one.
// The folder is read into two buffers. Once the entries of one are half
// taken, the cursor that notices reads the next part of the folder into the
// other with the lock released, so the rest go on taking entries meanwhile
// instead of waiting for the read.
class FolderStream {
 public:
  FolderStream(int folderFd, std::string pattern)
      : fd_(folderFd),
        pattern_(std::move(pattern)),
        buffers_{std::vector<char>(ListingBufferSize / 2),
                 std::vector<char>(ListingBufferSize / 2)} {}
  ~FolderStream() { ::close(fd_); }
  FolderStream(const FolderStream&) = delete;
  FolderStream& operator=(const FolderStream&) = delete;

  [[nodiscard]] int Fd() const { return fd_; }

  // Copies the next entry whose name matches into `name` and `type`.
  // @returns false at the end of the folder or on a read error.
  bool Take(std::string& name, unsigned char& type) {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      if (offset_ < filled_[current_]) {
        const char* record = buffers_[current_].data() + offset_;
        unsigned short length = 0;
        std::memcpy(&length, record + DirentReclenOffset, sizeof length);
        offset_ += length;
        const std::string_view entryName(record + DirentNameOffset);
        if (entryName == "." || entryName == ".." ||
            !WildcardMatch(std::string_view(pattern_), entryName)) {
          continue;
        }
        name.assign(entryName);  // reuses the cursor's storage once it has grown
        type = static_cast<unsigned char>(record[DirentTypeOffset]);
        if (!spareFilled_ && !reading_ && !ended_ && offset_ >= filled_[current_] / 2) {
          ReadSpare(hold);
        }
        return true;
      }
      if (spareFilled_) {
        current_ ^= 1U;
        offset_ = 0;
        spareFilled_ = false;
      } else if (ended_) {
        return false;
      } else if (reading_) {
        readDone_.wait(hold);
      } else {
        ReadSpare(hold);
      }
    }
  }

 private:
  // Reads the next part of the folder into the buffer not in use, with the
  // lock released; returns with it held again. One read at a time: the
  // folder's position moves with each.
  void ReadSpare(std::unique_lock<std::mutex>& hold) {
    reading_ = true;
    const unsigned spare = current_ ^ 1U;
    std::vector<char>& buffer = buffers_[spare];
    hold.unlock();
    long got = 0;
    do {
      got = ::syscall(SYS_getdents64, fd_, buffer.data(), buffer.size());
    } while (got < 0 && errno == EINTR);
    hold.lock();
    reading_ = false;
    if (got > 0) {
      filled_[spare] = static_cast<std::size_t>(got);
      spareFilled_ = true;
    } else {
      ended_ = true;  // the end, or an error: no more entries either way
    }
    readDone_.notify_all();
  }

  std::mutex lock_;
  std::condition_variable readDone_;
  int fd_;
  std::string pattern_;
  std::array<std::vector<char>, 2> buffers_;
  std::array<std::size_t, 2> filled_{0, 0};
  unsigned current_ = 0;    // the buffer entries are taken from
  std::size_t offset_ = 0;  // the next record in it
  bool spareFilled_ = false;
  bool reading_ = false;
  bool ended_ = false;
};

class PosixListing final : public Listing {
 public:
  PosixListing(std::shared_ptr<FolderStream> stream, PosixDeleteContext& context)
      : stream_(std::move(stream)), fd_(stream_->Fd()), context_(context) {}

  [[nodiscard]] StringView Name() const override { return wideName_; }

  bool Examine(EntryInfo& info) override {
    if (IsNeverCandidate()) {
      info = {type_ == DT_DIR ? EntryKind::Directory : EntryKind::Other, 0, 0};
      return true;
    }
    struct stat st {};
    if (::fstatat(fd_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    info = InfoOf(st);
    return true;
  }

  // The file is judged on a descriptor of its own, not on its name: the name
  // may be replaced at any moment by anyone who can write to the folder.
  bool Delete(const EntryRule& rule) override {
    if (IsNeverCandidate()) return false;
    // O_NOFOLLOW: a symbolic link is refused (ELOOP) and then judged as
    // itself. O_NONBLOCK: a FIFO swapped in since the listing opens without
    // waiting for a writer, and a file under someone else's lease is not
    // waited for. A socket fails to open at all.
    FdCloser file(::openat(fd_, name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.Fd() < 0) return errno == ELOOP && DeleteLink(rule);
    struct stat held {};
    if (::fstat(file.Fd(), &held) != 0 || !S_ISREG(held.st_mode) || !rule.Holds(InfoOf(held))) {
      return false;
    }
    bool leased = false;
    if (!NoOneElseUses(file.Fd(), held, leased)) return false;
    return UnlinkIfStill(held, &file, leased);
  }

  bool Next() override {
    if (!stream_->Take(name_, type_)) return false;
    AssignWidened(name_, wideName_);
    return true;
  }

  std::unique_ptr<Listing> Fork() override {
    auto cursor = std::make_unique<PosixListing>(stream_, context_);
    if (!cursor->Next()) return nullptr;
    return cursor;
  }

 private:
  // Kinds the listing already knows never to touch (file systems that do not
  // report kinds in the listing get them from fstatat in Examine instead).
  [[nodiscard]] bool IsNeverCandidate() const {
    return type_ == DT_DIR || type_ == DT_FIFO || type_ == DT_SOCK || type_ == DT_CHR ||
           type_ == DT_BLK;
  }

  // A symbolic link is removed itself, never its target, and no one can hold
  // a link open, so there is no use to look for.
  bool DeleteLink(const EntryRule& rule) {
    struct stat link {};
    if (::fstatat(fd_, name_.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode) ||
        !rule.Holds(InfoOf(link))) {
      return false;
    }
    return UnlinkIfStill(link, nullptr, false);
  }

  // True when no other process has the file open or mapped. A write lease is
  // granted only while ours is the file's sole open description; where none
  // can be had the process table decides, and when that cannot be read
  // either, the file is kept.
  bool NoOneElseUses(int file, const struct stat& held, bool& leased) {
    if (::fcntl(file, F_SETLEASE, F_WRLCK) == 0) {
      leased = true;
      // overlayfs grants the lease even while the file is mapped by a
      // process that has closed its descriptor: the mapping holds the file
      // of the layer below, not the overlay's.
      if (!OnOverlay()) return true;
      return IsUnusedByProcesses(held);
    }
    // EINVAL: no leases on this file system; EACCES: not ours to lease.
    // EAGAIN means someone else has it open, and any other failure leaves
    // the question open: both keep the file.
    return (errno == EINVAL || errno == EACCES) && IsUnusedByProcesses(held);
  }

  bool IsUnusedByProcesses(const struct stat& held) {
    const std::lock_guard<std::mutex> hold(context_.processFilesLock);
    return context_.processFiles.Lookup(held.st_dev, held.st_ino, OnOverlay()) ==
           ProcessFileIndex::Use::Unused;
  }

  // A folder whose file system cannot be told is taken for overlayfs: that
  // only adds the process table's answer to the lease's.
  bool OnOverlay() {
    if (overlay_ < 0) {
      struct statfs fs {};
      overlay_ = (::fstatfs(fd_, &fs) != 0 || fs.f_type == OVERLAYFS_SUPER_MAGIC) ? 1 : 0;
    }
    return overlay_ == 1;
  }

  // Unlinks the name only if it still names the file that was judged.
  // `file` is our descriptor to it (nullptr for a link), holding a lease
  // when `leased`.
  bool UnlinkIfStill(const struct stat& judged, FdCloser* file, bool leased) {
    struct stat now {};
    if (::fstatat(fd_, name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(now, judged)) {
      return false;
    }
    // An open by another process since the lease was granted is waiting for
    // us to give it up (the lease is being broken): the file is theirs now.
    if (leased && ::fcntl(file->Fd(), F_GETLEASE) != F_WRLCK) return false;
    // Closed before the unlink, not after: an open arriving after the check
    // above would get a removed file either way, and unlinking a file we
    // still hold, leased, costs the kernel a lease probe and a deferred free.
    if (file != nullptr) file->Close();
    return ::unlinkat(fd_, name_.c_str(), 0) == 0;
  }

  std::shared_ptr<FolderStream> stream_;
  int fd_;            // the folder, for every call about an entry
  std::string name_;  // the current entry's name as the folder holds it
  unsigned char type_ = DT_UNKNOWN;
  String wideName_;
  PosixDeleteContext& context_;
  int overlay_ = -1;  // unknown until a deletion asks
};

}  // namespace

FileTime ToFileTime(const timespec& ts) {
  const std::int64_t seconds = ts.tv_sec + EpochDifferenceSeconds;
  if (seconds < 0) return 0;
  if (seconds > static_cast<std::int64_t>(UINT64_MAX / UnitsPerSecond) - 1) return UINT64_MAX;
  return static_cast<FileTime>(seconds) * UnitsPerSecond + static_cast<FileTime>(ts.tv_nsec / 100);
}

void AssignWidened(std::string_view bytes, String& out) {
  out.resize(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[i] = static_cast<Char>(static_cast<unsigned char>(bytes[i]));
  }
}

std::unique_ptr<Listing> OpenFolderListing(int folderFd, std::string pattern,
                                           PosixDeleteContext& context) {
  auto stream = std::make_shared<FolderStream>(folderFd, std::move(pattern));
  auto listing = std::make_unique<PosixListing>(std::move(stream), context);
  if (!listing->Next()) return nullptr;
  return listing;
}

}  // namespace qor
