// An in-memory machine for the unit tests: folders of entries, a fixed clock, a zone and a
// console. A listing has one cursor: the cursors that share a listing across threads are the
// POSIX body's, which the end-to-end runs drive.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Platform.h"
#include "WildcardMatch.h"

namespace qor::testing {

inline constexpr FileTime Hour = 36'000'000'000;
inline constexpr FileTime Now = 134'410'320'000'000'000;  // 2026-12-06 12:00 UTC
inline constexpr FileTime Upper = Now - 7 * 24 * Hour;    // the latest last write that is old

struct Entry {
  String name;
  EntryInfo info{EntryKind::File, 0, Upper};
  bool gone = false;  // deleted, or vanished
};

class FakePlatform : public Platform {
 public:
  std::map<String, std::vector<Entry>> folders;  // by path without the final separator
  std::map<FolderSource, String> sources;        // a source not here fails
  bool zoneFails = false;                        // else local time is UTC
  std::size_t capacity = 260;
  std::function<bool(Entry&)> onDelete;  // the entry is being deleted; false: refused
  std::string output;

  std::size_t PathCapacity() const override { return capacity; }
  Char Separator() const override { return L'\\'; }
  bool GetFolder(FolderSource source, String& out) override {
    if (!sources.contains(source)) return false;
    out = sources[source];
    return true;
  }
  bool IsDirectory(StringView path) override { return folders.contains(String(path)); }
  unsigned SweepWorkers() const override { return 1; }
  FileTime NowUtc() override { return Now; }
  bool LocalToUtc(const CivilTime& local, FileTime& out) override {
    if (zoneFails) return false;
    const std::chrono::sys_days day{std::chrono::year(local.year) / local.month / local.day};
    const auto days = day.time_since_epoch().count() + DaysFrom1601To1970;
    const auto hours = days * 24 + local.hour;
    const auto seconds = hours * 3600 + local.minute * 60 + local.second;
    out = static_cast<FileTime>(seconds * 1000 + local.millisecond) * 10'000;
    return true;
  }
  void InstallInterruptHandler(void (* /*handler*/)(int)) override {}
  void WriteOutput(std::string_view bytes) override { output += bytes; }
  int ExitStatus(int count) const override { return count; }
  std::unique_ptr<Listing> OpenListing(StringView folder, StringView pattern) override;

 private:
  static constexpr int DaysFrom1601To1970 = 134'774;

  class Cursor final : public Listing {
   public:
    Cursor(FakePlatform& fake, std::vector<Entry*> listed)
        : fake_(fake), listed_(std::move(listed)) {}
    StringView Name() const override { return Current().name; }
    bool Examine(EntryInfo& info) override {
      info = Current().info;
      return !Current().gone;
    }
    bool Delete(const EntryRule& rule) override {
      if (fake_.onDelete && !fake_.onDelete(Current())) return false;
      if (Current().gone || !rule.Holds(Current().info)) return false;
      Current().gone = true;
      return true;
    }
    bool Next() override {
      if (taken_ == listed_.size()) return false;
      ++taken_;
      return true;
    }
    std::unique_ptr<Listing> Fork() override { return nullptr; }

   private:
    [[nodiscard]] Entry& Current() const { return *listed_[taken_ - 1]; }

    FakePlatform& fake_;
    std::vector<Entry*> listed_;
    std::size_t taken_ = 0;
  };
};

inline std::unique_ptr<Listing> FakePlatform::OpenListing(StringView folder, StringView pattern) {
  // The seam promises a folder that ends in the separator.
  if (!folder.ends_with(L'\\') || !folders.contains(String(folder.substr(0, folder.size() - 1)))) {
    return nullptr;
  }
  std::vector<Entry*> listed;
  for (Entry& entry : folders[String(folder.substr(0, folder.size() - 1))]) {
    if (!entry.gone && WildcardMatch(pattern, StringView(entry.name))) listed.push_back(&entry);
  }
  auto cursor = std::make_unique<Cursor>(*this, std::move(listed));
  if (!cursor->Next()) return nullptr;
  return cursor;
}

}  // namespace qor::testing
