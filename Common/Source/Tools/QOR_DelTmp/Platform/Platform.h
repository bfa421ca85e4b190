// The seam between the portable core and the operating system.
// The core sees files, folders, the clock and the console only through the
// interfaces below; each platform body (Posix/, Win32/) implements them once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace qor {

// The core works in wide characters, as the Windows API does. On POSIX each
// byte of a name or argument maps to the character of the same value
// (U+0000-U+00FF) and back, so any byte sequence survives unchanged.
using Char = wchar_t;
using String = std::wstring;
using StringView = std::wstring_view;

// 100-ns intervals since 1601-01-01 00:00 UTC, compared as one unsigned number.
using FileTime = std::uint64_t;

// A calendar date and time with no zone attached.
struct CivilTime {
  int year = 0;
  int month = 0;  // 1-12
  int day = 0;    // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

enum class EntryKind {
  File,       // a regular file, or a symbolic link judged as itself
  Directory,  // never deleted, never entered
  Other,      // FIFO, socket, device: never deleted
};

struct EntryInfo {
  EntryKind kind = EntryKind::Other;
  std::uint64_t size = 0;
  FileTime lastWrite = 0;
};

// The rules a file must still pass at the moment it is deleted. A platform
// that can look at the file once it has it in hand asks again here, so a file
// swapped or rewritten since it was examined is left alone.
class EntryRule {
 public:
  virtual ~EntryRule() = default;
  [[nodiscard]] virtual bool Holds(const EntryInfo& info) const = 0;
};

// One listing of one folder, restricted to the names that match a wildcard
// pattern the way the Windows listing matches them (see WildcardMatch.h).
// Created positioned on its first matching entry; closed when destroyed.
class Listing {
 public:
  virtual ~Listing() = default;
  Listing() = default;
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;

  // The current entry's name, without folder. Valid until Next().
  [[nodiscard]] virtual StringView Name() const = 0;

  // Reads the current entry's kind, size and last-write time.
  // @returns false if the entry can no longer be examined (it vanished).
  virtual bool Examine(EntryInfo& info) = 0;

  // Deletes the current entry if it is still a file that passes `rule`,
  // judged on the handle or descriptor that deletes it, and no other program
  // has it open.
  // @returns true only if the entry was removed by this call.
  virtual bool Delete(const EntryRule& rule) = 0;

  // Moves to the next matching entry. @returns false at the end or on error.
  virtual bool Next() = 0;

  // Another cursor over the same listing, for another thread. The cursors
  // take entries from one shared read of the folder, so together they see
  // every entry once; each is positioned on the next entry no cursor has
  // taken yet. Each cursor is used by one thread at a time.
  // @returns nullptr when no entry is left or the listing cannot be shared.
  virtual std::unique_ptr<Listing> Fork() = 0;
};

// The four places the tool looks, in the order it looks.
enum class FolderSource {
  SystemTemp,     // Windows: %windir%\temp.         POSIX: /var/tmp
  CommonAppData,  // Windows: CSIDL_COMMON_APPDATA.  POSIX: /var/lib
  SpoolDir,       // Windows: DefaultSpoolDirectory. POSIX: the CUPS RequestRoot
  UserTemp,       // Windows: GetTempPathW.          POSIX: $TMPDIR or /tmp, with "/"
};

class Platform {
 public:
  virtual ~Platform() = default;
  Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  // Capacity of a path buffer in characters, terminator included (MAX_PATH
  // on Windows, PATH_MAX on POSIX). No path the tool handles may exceed it.
  [[nodiscard]] virtual std::size_t PathCapacity() const = 0;

  // The character that separates folder and name.
  [[nodiscard]] virtual Char Separator() const = 0;

  // Where `source` is on this machine. Fills `out` only on success.
  // @returns false when the platform has no such folder, reports a failure,
  // or the path does not fit PathCapacity().
  virtual bool GetFolder(FolderSource source, String& out) = 0;

  // @returns true if `path` names an existing folder that is safe to sweep.
  virtual bool IsDirectory(StringView path) = 0;

  // Starts a listing of `folder` (which ends in Separator()) restricted to
  // names that match `namePattern`, a name made of literal characters and '?',
  // as WildcardMatch decides: the core judges only what follows the prefix.
  // @returns nullptr when the folder cannot be read or nothing matches.
  virtual std::unique_ptr<Listing> OpenListing(StringView folder, StringView namePattern) = 0;

  // How many cursors over one listing (see Listing::Fork) a pass may run at
  // once, each in its own thread, examining and deleting the entries it
  // takes. 1 keeps every pass a single loop.
  [[nodiscard]] virtual unsigned SweepWorkers() const = 0;

  // The current time, UTC.
  virtual FileTime NowUtc() = 0;

  // Converts a local wall-clock time to UTC with the current zone's rules.
  // @returns false if the conversion fails; `out` is then untouched.
  virtual bool LocalToUtc(const CivilTime& local, FileTime& out) = 0;

  // Arranges for `handler` to run once on the first interrupt (Ctrl+C); a
  // second interrupt then ends the process.
  virtual void InstallInterruptHandler(void (*handler)(int)) = 0;

  // Writes bytes to standard output. A failed write is ignored.
  virtual void WriteOutput(std::string_view bytes) = 0;

  // The process exit status that carries `count` deletions.
  [[nodiscard]] virtual int ExitStatus(int count) const = 0;
};

}  // namespace qor
