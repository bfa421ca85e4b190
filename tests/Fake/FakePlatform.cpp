// The in-memory platform. Listings take a snapshot of the matching names when
// they open and look each entry up again when asked about it, so tests can
// change a folder in the middle of a pass.
#include "Fake/FakePlatform.h"

#include <algorithm>
#include <memory>

#include "WildcardMatch.h"

namespace qor::testing {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

String StripSeparator(StringView folder) {
  String key(folder);
  if (!key.empty() && key.back() == L'\\') key.pop_back();
  return key;
}

// The names a listing matched when it opened, and how many of them its
// cursors have taken.
struct TakenNames {
  std::vector<String> names;
  std::size_t taken = 0;
};

class FakeListing final : public Listing {
 public:
  FakeListing(FakePlatform& platform, String folder, String path,
              std::shared_ptr<TakenNames> shared)
      : platform_(platform),
        folder_(std::move(folder)),
        path_(std::move(path)),
        shared_(std::move(shared)) {}

  // The names are the listing's own; no lock needed.
  [[nodiscard]] StringView Name() const override { return shared_->names[index_]; }

  bool Examine(EntryInfo& info) override {
    const auto hold = platform_.Lock();
    platform_.examined.push_back(path_ + shared_->names[index_]);
    const FakeEntry* entry = Current();
    if (entry == nullptr) return false;
    info = {entry->kind, entry->size, entry->lastWrite};
    return true;
  }

  bool Delete(const EntryRule& rule) override {
    const auto hold = platform_.Lock();
    const String fullPath = path_ + shared_->names[index_];
    if (platform_.beforeDelete) platform_.beforeDelete(fullPath);
    const FakeEntry* entry = Current();
    if (entry == nullptr || entry->refuseDelete) return false;
    if (!rule.Holds({entry->kind, entry->size, entry->lastWrite})) return false;
    auto* entries = platform_.FolderEntries(folder_);
    entries->erase(entries->begin() + (entry - entries->data()));
    platform_.deleted.emplace_back(fullPath);
    return true;
  }

  bool Next() override {
    const auto hold = platform_.Lock();
    if (shared_->taken >= shared_->names.size()) return false;
    index_ = shared_->taken++;
    Arrive();
    return true;
  }

  std::unique_ptr<Listing> Fork() override {
    const auto hold = platform_.Lock();
    auto cursor = std::make_unique<FakeListing>(platform_, folder_, path_, shared_);
    if (!cursor->Next()) return nullptr;
    ++platform_.forks;
    return cursor;
  }

 private:
  void Arrive() {
    if (platform_.onEntry) platform_.onEntry(folder_, index_);
  }

  const FakeEntry* Current() {
    auto* entries = platform_.FolderEntries(folder_);
    if (entries == nullptr) return nullptr;
    const auto it = std::find_if(entries->begin(), entries->end(), [&](const FakeEntry& e) {
      return e.name == shared_->names[index_];
    });
    return it == entries->end() ? nullptr : &*it;
  }

  FakePlatform& platform_;
  String folder_;
  String path_;
  std::shared_ptr<TakenNames> shared_;
  std::size_t index_ = 0;
};

}  // namespace

FileTime FileTimeFromUtc(const CivilTime& utc) {
  const std::int64_t days =
      DaysFromCivil(utc.year, static_cast<unsigned>(utc.month), static_cast<unsigned>(utc.day)) +
      DaysFromCivil(1970, 1, 1) - DaysFromCivil(1601, 1, 1);
  const std::int64_t seconds = days * 86'400 + utc.hour * 3600 + utc.minute * 60 + utc.second;
  return static_cast<FileTime>(seconds) * OneSecond +
         static_cast<FileTime>(utc.millisecond) * 10'000;
}

FakePlatform::FakePlatform() = default;

void FakePlatform::AddFolder(const String& folder) {
  const auto hold = Lock();
  folders_[folder];
}

void FakePlatform::AddEntry(const String& folder, FakeEntry entry) {
  const auto hold = Lock();
  folders_[folder].push_back(std::move(entry));
}

bool FakePlatform::HasEntry(const String& folder, StringView name) const {
  const auto hold = Lock();
  const auto it = folders_.find(folder);
  return it != folders_.end() && std::any_of(it->second.begin(), it->second.end(),
                                             [&](const FakeEntry& e) { return e.name == name; });
}

std::size_t FakePlatform::EntryCount(const String& folder) const {
  const auto hold = Lock();
  const auto it = folders_.find(folder);
  return it == folders_.end() ? 0 : it->second.size();
}

std::vector<FakeEntry>* FakePlatform::FolderEntries(const String& folder) {
  const auto it = folders_.find(folder);
  return it == folders_.end() ? nullptr : &it->second;
}

bool FakePlatform::GetFolder(FolderSource source, String& out) {
  const auto hold = Lock();
  const auto it = sources.find(source);
  if (it == sources.end() || it->second.size() >= pathCapacity) return false;
  out = it->second;
  return true;
}

bool FakePlatform::IsDirectory(StringView path) {
  const auto hold = Lock();
  probed.emplace_back(path);
  return folders_.count(String(path)) != 0;
}

std::unique_ptr<Listing> FakePlatform::OpenListing(StringView folder, StringView namePattern) {
  const auto hold = Lock();
  listed.push_back(String(folder) + String(namePattern));
  const String key = StripSeparator(folder);
  const auto* entries = FolderEntries(key);
  if (entries == nullptr || unreadableFolders.count(key) != 0) return nullptr;
  std::vector<String> names;
  for (const FakeEntry& entry : *entries) {
    if (WildcardMatch(namePattern, StringView(entry.name))) names.push_back(entry.name);
  }
  if (names.empty()) return nullptr;
  auto shared = std::make_shared<TakenNames>();
  shared->names = std::move(names);
  auto listing = std::make_unique<FakeListing>(*this, key, String(folder), std::move(shared));
  listing->Next();
  return listing;
}

bool FakePlatform::LocalToUtc(const CivilTime& local, FileTime& out) {
  if (failLocalToUtc) return false;
  const auto asUtc = static_cast<std::int64_t>(FileTimeFromUtc(local));
  out = static_cast<FileTime>(asUtc - zoneOffsetSeconds * static_cast<std::int64_t>(OneSecond));
  return true;
}

int FakePlatform::ExitStatus(int count) const {
  return capExitStatusAt255 && count > 255 ? 255 : count;
}

}  // namespace qor::testing
