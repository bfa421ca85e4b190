// The sweep: two passes over each candidate folder, each deleting the files
// whose name, size and age qualify.
#pragma once

#include "Platform/Platform.h"

namespace qor {

// The parameters of one pass.
struct SweepPass {
  StringView prefix;         // "" or "DSP"
  bool anySize = false;      // false: only empty files qualify
  bool ignoreDates = false;  // false: the last write must lie in the AgeWindow
};

inline constexpr SweepPass HexPass(bool deleteAll) {
  return {L"", false, deleteAll};
}
inline constexpr SweepPass DspPass() {
  return {L"DSP", true, true};
}

// A file must have been left alone this long: 7 days in 100-ns units.
inline constexpr FileTime MinimumAge = 6'048'000'000'000ULL;

// GetTempFileName files older than this local date are not ours to judge.
inline constexpr CivilTime AgeFloorLocal{2011, 2, 1, 0, 0, 0, 0};

// Both bounds inclusive.
struct AgeWindow {
  FileTime floor = 0;
  FileTime upper = 0;
};

// Computes the window: AgeFloorLocal converted to UTC, and UTC now minus
// MinimumAge. @returns false when no window can be established (the floor
// does not convert, or the clock reads earlier than MinimumAge); nothing can
// then be shown to lie inside it.
bool ComputeAgeWindow(Platform& platform, AgeWindow& window);

// True when `rest` (the name after the pass's prefix) is a run of uppercase
// hex digits followed by ".tmp" in any case, and nothing else.
bool HexNameRule(StringView rest);

// True when `info` is a file whose size and last write qualify for `pass`.
bool EntryQualifies(const SweepPass& pass, const AgeWindow& window, const EntryInfo& info);

// One pass over `directory`. Up to the platform's SweepWorkers() cursors over
// the one listing share the work.
// @returns how many files it deleted.
int SweepDirectory(Platform& platform, StringView directory, const SweepPass& pass);

// Both passes over every candidate folder, in order.
// @returns how many files they deleted, INT_MAX at most.
int SweepTempDirs(Platform& platform, bool deleteAll);

}  // namespace qor
