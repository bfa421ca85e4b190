// The POSIX (Linux) body of the platform layer: the folders to sweep, the
// clock and the zone, Ctrl+C and output. Listing and deleting are in
// PosixListing.cpp.
#include "Platform/Posix/PosixPlatform.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "Platform/Posix/PosixListing.h"
#include "Platform/Posix/ProcessFileIndex.h"
#include "WildcardMatch.h"

namespace qor {

namespace {

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

// Fails on a character above U+00FF, which no byte stands for.
bool NarrowToBytes(StringView text, std::string& out) {
  out.resize(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto code = static_cast<std::make_unsigned_t<Char>>(text[i]);
    if (code > 0xFFU) return false;
    out[i] = static_cast<char>(code);
  }
  return true;
}

// The print spooler's spool root from the text of cups-files.conf: the last
// RequestRoot directive (name in any case, '#' starts a comment), or
// /var/spool/cups when the file has none.
std::string ParseCupsRequestRoot(std::string_view configText) {
  std::string root = "/var/spool/cups";
  std::istringstream lines{std::string(configText)};
  std::string line;
  while (std::getline(lines, line)) {
    std::string_view text = line;
    text = Trim(text.substr(0, text.find('#')));
    const auto nameEnd = text.find_first_of(" \t");
    if (nameEnd == std::string_view::npos) continue;
    if (!EqualsIgnoringAsciiCase(text.substr(0, nameEnd), std::string_view("RequestRoot"))) {
      continue;
    }
    const std::string_view value = Trim(text.substr(nameEnd));
    if (!value.empty()) root = value;
  }
  return root;
}

// Two deleting listings per folder where two processors can run them: the
// in-use checks and the freeing of each file overlap, while every unlink in
// the folder still takes the folder's lock in turn, so more listings than
// two only contend for it.
unsigned UsableWorkers() {
  cpu_set_t usable;
  CPU_ZERO(&usable);
  if (::sched_getaffinity(0, sizeof usable, &usable) != 0) return 1;
  return CPU_COUNT(&usable) >= 2 ? 2 : 1;
}

}  // namespace

PosixPlatform::PosixPlatform() : sweepWorkers_(UsableWorkers()) {}

String WidenBytes(std::string_view bytes) {
  String out;
  AssignWidened(bytes, out);
  return out;
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
      // When it cannot be read there is no spooler, and the source is skipped.
      std::ifstream file("/etc/cups/cups-files.conf");
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
  return OpenFolderListing(fd, std::move(patternBytes), deleteContext_);
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
