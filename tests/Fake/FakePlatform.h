// An in-memory machine for the unit tests and the options fuzzer: folders of entries, a clock, a
// zone and a console. The cursors of a listing take its entries in turn under one lock, so they
// may run in threads.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Platform.h"
#include "WildcardMatch.h"

namespace qor::testing {

inline constexpr FileTime Hour = 36'000'000'000;
inline constexpr FileTime Now = 134'410'320'000'000'000;    // 2026-12-06 12:00 UTC
inline constexpr FileTime Upper = Now - 7 * 24 * Hour;      // the latest last write that is old
inline constexpr FileTime Floor = 129'409'920'000'000'000;  // 2011-02-01 00:00 UTC

struct Entry {
  String name;
  EntryInfo info{EntryKind::File, 0, Upper};
  bool gone = false;  // deleted, or vanished
};

class FakePlatform : public Platform {
 public:
  std::map<String, std::vector<Entry>> folders;  // by path without the final separator
  std::map<FolderSource, String> sources;        // a source not here fails
  int zoneHours = 0;                             // local time minus UTC
  bool zoneFails = false;
  std::size_t capacity = 260;
  unsigned workers = 1;
  std::function<void(Entry&)> onTake;    // a cursor has taken the entry
  std::function<bool(Entry&)> onDelete;  // a cursor deletes the entry; false: refused
  std::string output;
  void (*interrupt)(int) = nullptr;

  std::size_t PathCapacity() const override { return capacity; }
  Char Separator() const override { return L'\\'; }
  bool GetFolder(FolderSource source, String& out) override {
    if (!sources.contains(source)) return false;
    out = sources[source];
    return true;
  }
  bool IsDirectory(StringView path) override { return folders.contains(String(path)); }
  unsigned SweepWorkers() const override { return workers; }
  FileTime NowUtc() override { return Now; }
  bool LocalToUtc(const CivilTime& local, FileTime& out) override {
    if (zoneFails) return false;
    const std::chrono::sys_days day{std::chrono::year(local.year) / local.month / local.day};
    const auto days = day.time_since_epoch().count() + DaysFrom1601To1970;
    const auto hours = days * 24 + local.hour - zoneHours;
    const auto seconds = hours * 3600 + local.minute * 60 + local.second;
    out = static_cast<FileTime>(seconds * 1000 + local.millisecond) * 10'000;
    return true;
  }
  void InstallInterruptHandler(void (*handler)(int)) override { interrupt = handler; }
  void WriteOutput(std::string_view bytes) override { output += bytes; }
  int ExitStatus(int count) const override { return count; }
  std::unique_ptr<Listing> OpenListing(StringView folder, StringView pattern) override;

 private:
  static constexpr int DaysFrom1601To1970 = 134'774;

  class Cursor final : public Listing {
   public:
    explicit Cursor(FakePlatform& fake) : fake_(fake) {}
    StringView Name() const override { return entry_->name; }
    bool Examine(EntryInfo& info) override {
      info = entry_->info;
      return !entry_->gone;
    }
    bool Delete(const EntryRule& rule) override {
      const std::lock_guard hold(fake_.lock_);
      if (fake_.onDelete && !fake_.onDelete(*entry_)) return false;
      if (entry_->gone || !rule.Holds(entry_->info)) return false;
      entry_->gone = true;
      return true;
    }
    bool Next() override {
      const std::lock_guard hold(fake_.lock_);
      if (fake_.taken_ == fake_.listed_.size()) return false;
      entry_ = fake_.listed_[fake_.taken_];
      ++fake_.taken_;
      if (fake_.onTake) fake_.onTake(*entry_);
      return true;
    }
    std::unique_ptr<Listing> Fork() override {
      auto cursor = std::make_unique<Cursor>(fake_);
      if (!cursor->Next()) return nullptr;
      return cursor;
    }

   private:
    FakePlatform& fake_;
    Entry* entry_ = nullptr;
  };

  std::mutex lock_;
  std::vector<Entry*> listed_;  // by the listing open now
  std::size_t taken_ = 0;
};

inline std::unique_ptr<Listing> FakePlatform::OpenListing(StringView folder, StringView pattern) {
  // The seam promises a folder that ends in the separator.
  if (!folder.ends_with(L'\\')) return nullptr;
  const String path(folder.substr(0, folder.size() - 1));
  if (!folders.contains(path)) return nullptr;
  listed_.clear();
  taken_ = 0;
  for (Entry& entry : folders[path]) {
    if (!entry.gone && WildcardMatch(pattern, StringView(entry.name))) listed_.push_back(&entry);
  }
  return Cursor(*this).Fork();
}

}  // namespace qor::testing
