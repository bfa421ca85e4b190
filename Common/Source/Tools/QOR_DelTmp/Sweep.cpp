// The two sweep passes. Names are judged first (they cost nothing to look
// at), size and time only for names that qualify, and the platform decides
// last, at the moment of deletion, with the same rules.
#include "Sweep.h"

#include <climits>

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

  // One buffer for the pattern and then each entry's full path; anything that
  // does not fit is skipped rather than cut short.
  const std::size_t capacity = platform.PathCapacity();
  String pattern(pass.prefix);
  pattern += PatternTail;
  String path;
  path.reserve(capacity);
  path.assign(directory);
  if (!path.empty() && path.back() != platform.Separator()) path.push_back(platform.Separator());
  const std::size_t folderLength = path.size();
  if (folderLength + pattern.size() >= capacity) return;

  const auto listing = platform.OpenListing(path, pattern);
  if (!listing) return;
  if (!RunFlag.load()) return;
  do {
    const StringView name = listing->Name();
    EntryInfo info;
    // The listing has matched the pattern already; the check is repeated
    // here because a native listing may match more (8.3 short names).
    if (folderLength + name.size() < capacity && WildcardMatch(StringView(pattern), name) &&
        HexNameRule(name.substr(pass.prefix.size())) && listing->Examine(info) &&
        rule.Holds(info)) {
      path.resize(folderLength);
      path.append(name);
      if (listing->Delete(path, rule) && deleted < INT_MAX) ++deleted;
    }
    const bool more = listing->Next();
    if (!RunFlag.load() || !more) break;
  } while (true);
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
