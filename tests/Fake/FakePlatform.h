// An in-memory machine for the unit tests. One listing is open at a time, as in a sweep.
#pragma once
#include <chrono>
#include <functional>
#include <map>
#include <mutex>

#include "Platform/Platform.h"
#include "WildcardMatch.h"
namespace qor::testing {
using enum EntryKind;
using enum FolderSource;
inline constexpr FileTime Hour = 36'000'000'000, Now = 134'410'320'000'000'000;  // 2026-12-06 12:00
inline constexpr FileTime Upper = Now - 168 * Hour, Floor = 129'409'920'000'000'000;  // 2011-02-01
inline const String Win = L"C:\\Windows\\temp", AppData = L"C:\\ProgramData";
inline const String Qor = AppData + L"\\QORTemp", Spool = L"C:\\spool", User = L"C:\\Temp";
struct Entry {  // in a folder, keyed by its path without the trailing separator
  String name;
  EntryInfo info{File, 0, Upper};
  bool refuseDelete = false;  // as for a file in use
  bool gone = false;          // deleted, or vanished
};
struct FakePlatform : Platform {  // a folder missing here cannot be read either
  std::map<String, std::vector<Entry>> folders{{Win, {}}, {Qor, {}}, {Spool, {}}, {User, {}}};
  std::map<FolderSource, String> sources{
      {SystemTemp, Win}, {CommonAppData, AppData}, {SpoolDir, Spool}, {UserTemp, User + L"\\"}};
  int zoneHours = 0;  // local time minus UTC
  bool failLocalToUtc = false;
  std::size_t capacity = 260;
  unsigned workers = 1;
  std::function<void(Entry&)> onEntry, beforeDelete;  // a cursor has reached it, or deletes it
  std::string output;
  void (*handler)(int) = nullptr;
  std::mutex lock;  // cursors run in threads: Next and Delete, callbacks included, hold it
  std::vector<Entry*> listed;  // by the open listing, for its cursors to take in turn
  std::size_t taken = 0;
  struct Cursor final : Listing {  // each entry is touched only by the cursor that took it
    explicit Cursor(FakePlatform& f) : fake(f) {}
    FakePlatform& fake;
    Entry* at = nullptr;
    StringView Name() const override { return at->name; }
    bool Examine(EntryInfo& info) override { return info = at->info, !at->gone; }
    bool Delete(const EntryRule& rule) override {
      const std::lock_guard hold(fake.lock);
      if (fake.beforeDelete) fake.beforeDelete(*at);
      return !at->gone && !at->refuseDelete && rule.Holds(at->info) && (at->gone = true);
    }
    bool Next() override {
      const std::lock_guard hold(fake.lock);
      if (fake.taken == fake.listed.size()) return false;
      at = fake.listed[fake.taken++];
      if (fake.onEntry) fake.onEntry(*at);
      return true;
    }
    std::unique_ptr<Listing> Fork() override {
      auto cursor = std::make_unique<Cursor>(fake);
      return cursor->Next() ? std::move(cursor) : nullptr;
    }
  };
  std::size_t PathCapacity() const override { return capacity; }
  Char Separator() const override { return L'\\'; }
  bool GetFolder(FolderSource source, String& out) override {
    return sources.contains(source) && !(out = sources[source]).empty();
  }
  bool IsDirectory(StringView path) override { return folders.contains(String(path)); }
  unsigned SweepWorkers() const override { return workers; }
  FileTime NowUtc() override { return Now; }
  bool LocalToUtc(const CivilTime& t, FileTime& out) override {  // 134'774 days from 1601 to 1970
    const std::chrono::sys_days day{std::chrono::year(t.year) / t.month / t.day};
    const auto hours = (day.time_since_epoch().count() + 134'774) * 24 + t.hour - zoneHours;
    const auto ms = (hours * 3600 + t.minute * 60 + t.second) * 1000 + t.millisecond;
    if (!failLocalToUtc) out = static_cast<FileTime>(ms) * 10'000;
    return !failLocalToUtc;
  }
  void InstallInterruptHandler(void (*h)(int)) override { handler = h; }
  void WriteOutput(std::string_view bytes) override { output += bytes; }
  int ExitStatus(int count) const override { return count; }
  std::unique_ptr<Listing> OpenListing(StringView folder, StringView pattern) override {
    const String key(folder.substr(0, folder.size() - 1));  // the seam promises the separator
    if (!folder.ends_with(L'\\') || !folders.contains(key)) return nullptr;
    listed.clear(), taken = 0;
    for (Entry& e : folders[key])
      if (!e.gone && WildcardMatch(pattern, StringView(e.name))) listed.push_back(&e);
    return Cursor(*this).Fork();  // a cursor on the first entry, if any
  }
};
}  // namespace qor::testing
