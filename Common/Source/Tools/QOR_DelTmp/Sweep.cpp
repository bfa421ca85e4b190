// The two sweep passes. Names are judged first (they cost nothing to look
// at), size and time only for names that qualify, and the platform decides
// last, at the moment of deletion, with the same rules.
#include "Sweep.h"

#include <algorithm>
#include <climits>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

#include "RunControl.h"
#include "TempDirs.h"
#include "WildcardMatch.h"

namespace qor {

namespace {

constexpr StringView PatternTail = L"????.tmp";

class PassRule final : public EntryRule {
 public:
  PassRule(const SweepPass& pass, const AgeWindow& window) : pass_(pass), window_(window) {}
  [[nodiscard]] bool Holds(const EntryInfo& info) const override {
    return EntryQualifies(pass_, window_, info);
  }

 private:
  const SweepPass& pass_;
  const AgeWindow& window_;
};

int AddSaturating(int total, int more) {
  return more > INT_MAX - total ? INT_MAX : total + more;
}

// What every cursor of one pass over one folder works from.
struct PassPlan {
  String folder;  // ends in the separator
  String pattern;
  StringView prefix;
  std::size_t capacity = 0;
  const EntryRule* rule = nullptr;
};

// Judges the entries one cursor takes, from the one it is on to the end of
// the listing or an interrupt, deleting those that qualify.
// @returns how many it deleted.
int SweepCursor(Listing& listing, const PassPlan& plan) {
  if (!RunFlag.load()) return 0;
  const std::size_t folderLength = plan.folder.size();
  int deleted = 0;
  do {
    const StringView name = listing.Name();
    EntryInfo info;
    // The listing has matched the pattern already; the check is repeated
    // here because a native listing may match more (8.3 short names).
    if (folderLength + name.size() < plan.capacity &&
        WildcardMatch(StringView(plan.pattern), name) &&
        HexNameRule(name.substr(plan.prefix.size())) && listing.Examine(info) &&
        plan.rule->Holds(info) && listing.Delete(*plan.rule) && deleted < INT_MAX) {
      ++deleted;
    }
    const bool more = listing.Next();
    if (!RunFlag.load() || !more) break;
  } while (true);
  return deleted;
}

bool IsUpperHexDigit(Char c) {
  return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F');
}

}  // namespace

bool ComputeAgeWindow(Platform& platform, AgeWindow& window) {
  FileTime floor = 0;
  if (!platform.LocalToUtc(AgeFloorLocal, floor)) return false;
  // Compare against true UTC: reading the local wall clock as UTC would move
  // "7 days ago" by the zone offset.
  const FileTime now = platform.NowUtc();
  if (now < MinimumAge) return false;
  window.floor = floor;
  window.upper = now - MinimumAge;
  return true;
}

bool HexNameRule(StringView rest) {
  constexpr StringView Extension = L".tmp";
  if (rest.size() < Extension.size()) return false;
  const std::size_t digits = rest.size() - Extension.size();
  for (std::size_t i = 0; i < digits; ++i) {
    if (!IsUpperHexDigit(rest[i])) return false;
  }
  for (std::size_t i = 0; i < Extension.size(); ++i) {
    if (FoldAsciiCase(rest[digits + i]) != FoldAsciiCase(Extension[i])) return false;
  }
  return true;
}

bool EntryQualifies(const SweepPass& pass, const AgeWindow& window, const EntryInfo& info) {
  if (info.kind != EntryKind::File) return false;
  if (!pass.anySize && info.size != 0) return false;
  return pass.ignoreDates || (window.floor <= info.lastWrite && info.lastWrite <= window.upper);
}

void SweepDirectory(Platform& platform, StringView directory, const SweepPass& pass, int& deleted) {
  AgeWindow window;
  if (!pass.ignoreDates && !ComputeAgeWindow(platform, window)) return;
  const PassRule rule(pass, window);

  // The pattern and then each entry's full path must fit the platform's path
  // buffer; anything that does not is skipped rather than cut short.
  PassPlan plan;
  plan.capacity = platform.PathCapacity();
  plan.pattern.assign(pass.prefix);
  plan.pattern += PatternTail;
  plan.prefix = pass.prefix;
  plan.rule = &rule;
  plan.folder.assign(directory);
  if (!plan.folder.empty() && plan.folder.back() != platform.Separator()) {
    plan.folder.push_back(platform.Separator());
  }
  if (plan.folder.size() + plan.pattern.size() >= plan.capacity) return;

  std::vector<std::unique_ptr<Listing>> cursors;
  cursors.push_back(platform.OpenListing(plan.folder, plan.pattern));
  if (!cursors.front()) return;
  if (!RunFlag.load()) return;
  // More cursors over the same listing, one per further worker: each takes
  // entries no other cursor has taken, so every name is judged once, and all
  // judge against the same window.
  const unsigned workers = std::max(1U, platform.SweepWorkers());
  while (cursors.size() < workers) {
    auto cursor = cursors.front()->Fork();
    if (!cursor) break;
    cursors.push_back(std::move(cursor));
  }

  std::vector<int> counts(cursors.size(), 0);
  std::vector<std::thread> helpers;
  std::size_t started = 1;
  try {
    helpers.reserve(cursors.size() - 1);
    for (; started < cursors.size(); ++started) {
      helpers.emplace_back([&cursors, &counts, &plan, index = started] {
        counts[index] = SweepCursor(*cursors[index], plan);
      });
    }
  } catch (const std::exception&) {
    // No thread to spare: the cursors not started run here, one after
    // another (each already holds an entry no other cursor will judge).
  }
  counts[0] = SweepCursor(*cursors[0], plan);
  for (std::size_t index = started; index < cursors.size(); ++index) {
    counts[index] = SweepCursor(*cursors[index], plan);
  }
  for (std::thread& helper : helpers) helper.join();
  for (const int count : counts) deleted = AddSaturating(deleted, count);
}

bool SweepTempDirs(Platform& platform, int& deletedTotal, bool deleteAll) {
  TempDirList folders;
  if (CollectTempDirs(platform, folders) == 0) return false;
  for (const String& folder : folders) {
    SweepDirectory(platform, folder, HexPass(deleteAll), deletedTotal);
    SweepDirectory(platform, folder, DspPass(), deletedTotal);
  }
  return true;
}

}  // namespace qor
