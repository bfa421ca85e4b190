// The POSIX (Linux) body of the platform layer.
// Folders are listed with getdents64 into one large buffer, names are matched
// as bytes before anything else is asked, and every file operation is made
// relative to the folder the listing opened, so a folder renamed or replaced
// by a symbolic link during a pass cannot redirect a deletion.
#include "Platform/Posix/PosixPlatform.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <type_traits>
#include <vector>

#include "Platform/Posix/ProcessFileIndex.h"
#include "WildcardMatch.h"

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

namespace {

// Seconds from 1601-01-01 (FileTime's epoch) to 1970-01-01 (time_t's).
constexpr std::int64_t EpochDifferenceSeconds = 11'644'473'600;
constexpr std::int64_t UnitsPerSecond = 10'000'000;

FileTime ToFileTime(const timespec& ts) {
  const std::int64_t seconds = ts.tv_sec + EpochDifferenceSeconds;
  if (seconds < 0) return 0;
  if (seconds > static_cast<std::int64_t>(UINT64_MAX / UnitsPerSecond) - 1) return UINT64_MAX;
  return static_cast<FileTime>(seconds) * UnitsPerSecond + static_cast<FileTime>(ts.tv_nsec / 100);
}

// Each byte becomes the character of the same value. Reuses `out`'s storage,
// so a listing widens each name without allocating once it has grown.
void AssignWidened(std::string_view bytes, String& out) {
  out.resize(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[i] = static_cast<Char>(static_cast<unsigned char>(bytes[i]));
  }
}

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
  PosixListing(std::shared_ptr<FolderStream> stream, PosixPlatform::DeleteContext& context)
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
    Notify(context_.hooks.beforeOpen);
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

  void Notify(const std::function<void(std::string_view)>& hook) const {
    if (hook) hook(name_);
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
    int refusal = context_.hooks.leaseError;
    if (refusal == 0) {
      if (::fcntl(file, F_SETLEASE, F_WRLCK) == 0) {
        leased = true;
        // overlayfs grants the lease even while the file is mapped by a
        // process that has closed its descriptor: the mapping holds the file
        // of the layer below, not the overlay's.
        if (!OnOverlay()) return true;
        return IsUnusedByProcesses(held);
      }
      refusal = errno;
    }
    // EINVAL: no leases on this file system; EACCES: not ours to lease.
    // EAGAIN means someone else has it open, and any other failure leaves
    // the question open: both keep the file.
    return (refusal == EINVAL || refusal == EACCES) && IsUnusedByProcesses(held);
  }

  bool IsUnusedByProcesses(const struct stat& held) {
    const std::lock_guard<std::mutex> hold(context_.processFilesLock);
    return context_.processFiles.Lookup(held.st_dev, held.st_ino, OnOverlay()) ==
           ProcessFileIndex::Use::Unused;
  }

  bool OnOverlay() {
    if (overlay_ < 0) {
      struct statfs fs {};
      overlay_ = (::fstatfs(fd_, &fs) == 0 && fs.f_type == OVERLAYFS_SUPER_MAGIC) ? 1 : 0;
    }
    return overlay_ == 1;
  }

  // Unlinks the name only if it still names the file that was judged.
  // `file` is our descriptor to it (nullptr for a link), holding a lease
  // when `leased`.
  bool UnlinkIfStill(const struct stat& judged, FdCloser* file, bool leased) {
    Notify(context_.hooks.beforeUnlink);
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
  PosixPlatform::DeleteContext& context_;
  int overlay_ = -1;  // unknown until a deletion asks
};

// Two deleting listings per folder where two processors can run them: the
// in-use checks and the freeing of each file overlap, while every unlink in
// the folder still takes the folder's lock in turn, so more listings than
// two only contend for it.
unsigned DefaultSweepWorkers() {
  cpu_set_t usable;
  CPU_ZERO(&usable);
  if (::sched_getaffinity(0, sizeof usable, &usable) != 0) return 1;
  return CPU_COUNT(&usable) >= 2 ? 2 : 1;
}

bool FitsPath(std::string_view path) {
  return path.size() < PATH_MAX;
}

bool SetIfFits(std::string_view path, String& out) {
  if (!FitsPath(path)) return false;
  out = WidenBytes(path);
  return true;
}

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAsciiCase(a[i]) != FoldAsciiCase(b[i])) return false;
  }
  return true;
}

}  // namespace

String WidenBytes(std::string_view bytes) {
  String out;
  AssignWidened(bytes, out);
  return out;
}

bool NarrowToBytes(StringView text, std::string& out) {
  out.resize(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto code = static_cast<std::make_unsigned_t<Char>>(text[i]);
    if (code > 0xFFU) return false;
    out[i] = static_cast<char>(code);
  }
  return true;
}

std::string ParseCupsRequestRoot(std::string_view configText) {
  std::string root = "/var/spool/cups";
  std::istringstream lines{std::string(configText)};
  std::string line;
  while (std::getline(lines, line)) {
    std::string_view text = line;
    text = Trim(text.substr(0, text.find('#')));
    const auto nameEnd = text.find_first_of(" \t");
    if (nameEnd == std::string_view::npos) continue;
    if (!EqualsIgnoringAsciiCase(text.substr(0, nameEnd), "RequestRoot")) continue;
    const std::string_view value = Trim(text.substr(nameEnd));
    if (!value.empty()) root = value;
  }
  return root;
}

PosixPlatform::PosixPlatform(std::string cupsConfig)
    : cupsConfig_(std::move(cupsConfig)),
      deleteContext_(std::make_unique<DeleteContext>(PosixDeleteHooks{})),
      sweepWorkers_(DefaultSweepWorkers()) {}

PosixPlatform::~PosixPlatform() = default;

void PosixPlatform::SetDeleteHooks(PosixDeleteHooks hooks) {
  // Kept in place: open listings refer to it.
  deleteContext_->processFiles = ProcessFileIndex(hooks.procRoot);
  sweepWorkers_ = std::max(1U, hooks.sweepWorkers);
  deleteContext_->hooks = std::move(hooks);
}

std::size_t PosixPlatform::PathCapacity() const {
  return PATH_MAX;
}

bool PosixPlatform::GetFolder(FolderSource source, String& out) {
  switch (source) {
    case FolderSource::SystemTemp:
      return SetIfFits("/var/tmp", out);
    case FolderSource::CommonAppData:
      return SetIfFits("/var/lib", out);
    case FolderSource::SpoolDir: {
      std::ifstream file(cupsConfig_);
      if (!file) return false;
      // Read through the stream, not with `<< rdbuf()`: that swallows a read
      // error (EISDIR, EIO) and the file would pass for one without the
      // directive, sending the sweep to the default spool root.
      std::string text;
      for (std::string line; std::getline(file, line);) text.append(line).push_back('\n');
      if (file.bad()) return false;
      return SetIfFits(ParseCupsRequestRoot(text), out);
    }
    case FolderSource::UserTemp: {
      const char* tmpdir = std::getenv("TMPDIR");  // NOLINT(concurrency-mt-unsafe): one thread
      std::string path = (tmpdir != nullptr && *tmpdir != '\0') ? tmpdir : "/tmp";
      if (path.back() != '/') path.push_back('/');
      return SetIfFits(path, out);
    }
  }
  return false;
}

bool PosixPlatform::IsDirectory(StringView path) {
  std::string bytes;
  if (!NarrowToBytes(path, bytes)) return false;
  struct stat st {};
  return ::stat(bytes.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::unique_ptr<Listing> PosixPlatform::OpenListing(StringView folder, StringView namePattern) {
  std::string folderBytes;
  std::string patternBytes;
  if (!NarrowToBytes(folder, folderBytes) || !NarrowToBytes(namePattern, patternBytes)) {
    return nullptr;
  }
  const int fd = ::open(folderBytes.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  auto stream = std::make_shared<FolderStream>(fd, std::move(patternBytes));
  auto listing = std::make_unique<PosixListing>(std::move(stream), *deleteContext_);
  if (!listing->Next()) return nullptr;
  return listing;
}

FileTime PosixPlatform::NowUtc() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return ToFileTime(now);
}

bool PosixPlatform::LocalToUtc(const CivilTime& local, FileTime& out) {
  std::tm fields{};
  fields.tm_year = local.year - 1900;
  fields.tm_mon = local.month - 1;
  fields.tm_mday = local.day;
  fields.tm_hour = local.hour;
  fields.tm_min = local.minute;
  fields.tm_sec = local.second;
  fields.tm_isdst = -1;  // let the zone's rules decide
  errno = 0;
  const std::time_t utc = std::mktime(&fields);
  if (utc == static_cast<std::time_t>(-1) && errno != 0) return false;
  out = ToFileTime(timespec{utc, 0}) + static_cast<FileTime>(local.millisecond) * 10'000;
  return true;
}

void PosixPlatform::InstallInterruptHandler(void (*handler)(int)) {
  // One-shot: the disposition returns to the default before the handler
  // runs, so a second Ctrl+C ends the process at once.
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  // A closed standard output must not end the run: its write just fails.
  (void)::signal(SIGPIPE, SIG_IGN);
  // A lease we hold is broken by signalling us with SIGIO, whose default
  // action ends the process; the deletion then just notices the break.
  (void)::signal(SIGIO, SIG_IGN);
}

void PosixPlatform::WriteOutput(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

int PosixPlatform::ExitStatus(int count) const {
  // An 8-bit status would turn 256 deletions into 0, "nothing deleted".
  if (count < 0) return 0;
  return count > 255 ? 255 : count;
}

}  // namespace qor
