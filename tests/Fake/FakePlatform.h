// An in-memory platform for unit tests: folders with entries, a settable clock
// and zone, injectable failures, and logs of what the core asked for.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/Platform.h"

namespace qor::testing {

// The FileTime of a UTC calendar time.
FileTime FileTimeFromUtc(const CivilTime& utc);

inline constexpr FileTime OneSecond = 10'000'000;
inline constexpr FileTime OneDay = 86'400 * OneSecond;

struct FakeEntry {
  String name;
  EntryKind kind = EntryKind::File;
  std::uint64_t size = 0;
  FileTime lastWrite = 0;
  bool refuseDelete = false;  // the platform says no, as for a file in use
};

class FakePlatform : public Platform {
 public:
  FakePlatform();

  // Folders are keyed by their path without a trailing separator.
  void AddFolder(const String& folder);
  void AddEntry(const String& folder, FakeEntry entry);
  [[nodiscard]] bool HasEntry(const String& folder, StringView name) const;
  [[nodiscard]] std::size_t EntryCount(const String& folder) const;

  // The clock reads `now` (UTC); local time is UTC plus `zoneOffset`.
  FileTime now = 0;
  std::int64_t zoneOffsetSeconds = 0;
  bool failLocalToUtc = false;

  std::size_t pathCapacity = 260;
  std::map<FolderSource, String> sources;  // a missing source fails
  std::set<String> unreadableFolders;      // OpenListing fails on these
  bool capExitStatusAt255 = false;
  // Cursors per listing (SweepWorkers). Every call into the fake, the
  // callbacks below included, runs under one lock.
  unsigned sweepWorkers = 1;

  // Called each time a listing arrives at an entry (index 0 is the first).
  std::function<void(const String& folder, std::size_t index)> onEntry;
  // Called just before a deletion is attempted, with the entry's full path.
  std::function<void(StringView fullPath)> beforeDelete;

  // What the core did.
  std::vector<String> listed;    // folder + pattern of each listing opened
  std::vector<String> examined;  // full path of each entry examined
  std::vector<String> deleted;   // full path of each entry deleted
  std::vector<String> probed;    // paths given to IsDirectory
  std::size_t forks = 0;         // further cursors handed out by listings
  std::string output;
  void (*interruptHandler)(int) = nullptr;

  [[nodiscard]] std::size_t PathCapacity() const override { return pathCapacity; }
  [[nodiscard]] Char Separator() const override { return L'\\'; }
  bool GetFolder(FolderSource source, String& out) override;
  bool IsDirectory(StringView path) override;
  std::unique_ptr<Listing> OpenListing(StringView folder, StringView namePattern) override;
  [[nodiscard]] unsigned SweepWorkers() const override { return sweepWorkers; }
  FileTime NowUtc() override { return now; }
  bool LocalToUtc(const CivilTime& local, FileTime& out) override;
  void InstallInterruptHandler(void (*handler)(int)) override { interruptHandler = handler; }
  void WriteOutput(std::string_view bytes) override { output.append(bytes); }
  [[nodiscard]] int ExitStatus(int count) const override;

  // Used by the fake listing.
  std::vector<FakeEntry>* FolderEntries(const String& folder);
  [[nodiscard]] std::unique_lock<std::recursive_mutex> Lock() const {
    return std::unique_lock<std::recursive_mutex>(lock_);
  }

 private:
  std::map<String, std::vector<FakeEntry>> folders_;
  mutable std::recursive_mutex lock_;
};

}  // namespace qor::testing
