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

// The one place counts are added up: a total that would pass INT_MAX stays
// there.
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

PassPlan PlanPass(const Platform& platform, StringView directory, const SweepPass& pass,
                  const EntryRule& rule) {
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
  return plan;
}

// Judges the entries one cursor takes, from the one it is on to the end of
// the listing or an interrupt, deleting those that qualify. The listing has
// matched the pattern, prefix included; the rest of the name is judged here.
// @returns how many it deleted.
int SweepCursor(Listing& listing, const PassPlan& plan) {
  if (!RunFlag.load()) return 0;
  int deleted = 0;
  do {
    const StringView name = listing.Name();
    EntryInfo info;
    if (plan.folder.size() + name.size() < plan.capacity &&
        HexNameRule(name.substr(plan.prefix.size())) && listing.Examine(info) &&
        plan.rule->Holds(info) && listing.Delete(*plan.rule)) {
      deleted = AddSaturating(deleted, 1);
    }
  } while (listing.Next() && RunFlag.load());
  return deleted;
}

// `first` and up to `workers` - 1 more cursors over its listing. Each takes
// entries no other cursor has taken, so every name is judged once.
std::vector<std::unique_ptr<Listing>> ForkCursors(std::unique_ptr<Listing> first,
                                                  unsigned workers) {
  std::vector<std::unique_ptr<Listing>> cursors;
  cursors.push_back(std::move(first));
  while (cursors.size() < workers) {
    auto cursor = cursors.front()->Fork();
    if (!cursor) break;
    cursors.push_back(std::move(cursor));
  }
  return cursors;
}

// Runs each cursor but the first in a thread of its own and the first here.
// @returns the deletions of all of them.
int RunCursors(const std::vector<std::unique_ptr<Listing>>& cursors, const PassPlan& plan) {
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
  int deleted = 0;
  for (const int count : counts) deleted = AddSaturating(deleted, count);
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
  return EqualsIgnoringAsciiCase(rest.substr(digits), Extension);
}

bool EntryQualifies(const SweepPass& pass, const AgeWindow& window, const EntryInfo& info) {
  if (info.kind != EntryKind::File) return false;
  if (!pass.anySize && info.size != 0) return false;
  return pass.ignoreDates || (window.floor <= info.lastWrite && info.lastWrite <= window.upper);
}

int SweepDirectory(Platform& platform, StringView directory, const SweepPass& pass) {
  AgeWindow window;
  if (!pass.ignoreDates && !ComputeAgeWindow(platform, window)) return 0;
  const PassRule rule(pass, window);
  const PassPlan plan = PlanPass(platform, directory, pass, rule);
  // The pattern and then each entry's full path must fit the platform's path
  // buffer; anything that does not is skipped rather than cut short.
  if (plan.folder.size() + plan.pattern.size() >= plan.capacity) return 0;
  auto listing = platform.OpenListing(plan.folder, plan.pattern);
  if (!listing || !RunFlag.load()) return 0;
  return RunCursors(ForkCursors(std::move(listing), std::max(1U, platform.SweepWorkers())), plan);
}

int SweepTempDirs(Platform& platform, bool deleteAll) {
  TempDirList folders;
  CollectTempDirs(platform, folders);
  int deleted = 0;
  for (const String& folder : folders) {
    deleted = AddSaturating(deleted, SweepDirectory(platform, folder, HexPass(deleteAll)));
    deleted = AddSaturating(deleted, SweepDirectory(platform, folder, DspPass()));
  }
  return deleted;
}

}  // namespace qor
