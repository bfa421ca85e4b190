// The portable core on the in-memory machine: the name, size and age rules, the folders, the
// options and whole runs, each a table.
#include <gtest/gtest.h>

#include "Fake/FakePlatform.h"
#include "RunControl.h"
#include "RunTool.h"
#include "Sweep.h"
#include "TempDirs.h"

namespace qor::testing {
namespace {

using enum EntryKind;
using enum FolderSource;

const String WinTemp = L"C:\\Windows\\temp";
const String AppData = L"C:\\ProgramData";
const String QorTemp = L"C:\\ProgramData\\QORTemp";
const String Spool = L"C:\\spool";
const String User = L"C:\\Temp";  // the user's temp folder

// The four folders, empty, as a run starts: no interrupt yet, not silent.
struct Machine : FakePlatform {
  Machine() {
    RunFlag.store(true);
    SilentFlag = false;
    sources[SystemTemp] = WinTemp;
    sources[CommonAppData] = AppData;
    sources[SpoolDir] = Spool;
    sources[UserTemp] = User + L"\\";
    folders[WinTemp] = {};
    folders[QorTemp] = {};
    folders[Spool] = {};
    folders[User] = {};
  }
};

enum class Pass { None, Hex, HexWithOptionA, Dsp };

// The hex pass, the hex pass with option a, then the DSP pass over the user's temp folder, whose
// path ends in its separator already. @returns the first that deleted a file.
Pass FirstPassThatDeletes(Machine& machine) {
  const String folder = User + L"\\";
  if (SweepDirectory(machine, folder, HexPass(false)) == 1) return Pass::Hex;
  if (SweepDirectory(machine, folder, HexPass(true)) == 1) return Pass::HexWithOptionA;
  if (SweepDirectory(machine, folder, DspPass()) == 1) return Pass::Dsp;
  return Pass::None;
}

TEST(Sweep, WhichPassDeletesAFile) {
  struct Row {
    const wchar_t* name;
    EntryInfo info{File, 0, Upper};
    int zoneHours = 0;  // local time minus UTC
    bool zoneFails = false;
    Pass deletedBy;
  };
  constexpr std::uint64_t HighHalfOnly = std::uint64_t{1} << 32;
  constexpr FileTime Floor9 = Floor - 9 * Hour;  // the floor where local time is UTC+9
  const Row rows[] = {
      {.name = L".tmp", .deletedBy = Pass::Hex},
      {.name = L"9.tMp", .deletedBy = Pass::Hex},
      {.name = L"F0.TMP", .deletedBy = Pass::Hex},
      {.name = L"ABC.tmp", .deletedBy = Pass::Hex},
      {.name = L"1A2B.tmp", .deletedBy = Pass::Hex},
      {.name = L"12345.tmp", .deletedBy = Pass::None},
      {.name = L"1a2b.tmp", .deletedBy = Pass::None},
      {.name = L"G1.tmp", .deletedBy = Pass::None},
      {.name = L"DSP.tmp", .deletedBy = Pass::Dsp},
      {.name = L"dsP1.TMP", .deletedBy = Pass::Dsp},
      {.name = L"DSP00FF.tmp", .deletedBy = Pass::Dsp},
      {.name = L"DSP00ff.tmp", .deletedBy = Pass::None},
      {.name = L"XSP1.tmp", .deletedBy = Pass::None},
      {.name = L"D\u017FP1.tmp", .deletedBy = Pass::None},  // a long s: only ASCII folds
      {.name = L"1A2B.tmp", .info = {File, 0, Upper + 1}, .deletedBy = Pass::HexWithOptionA},
      {.name = L"1A2B.tmp", .info = {File, 0, Floor}, .deletedBy = Pass::Hex},
      {.name = L"1A2B.tmp", .info = {File, 0, Floor - 1}, .deletedBy = Pass::HexWithOptionA},
      {.name = L"1A2B.tmp", .info = {File, 1, Upper}, .deletedBy = Pass::None},
      {.name = L"1A2B.tmp", .info = {File, HighHalfOnly, 0}, .deletedBy = Pass::None},
      {.name = L"1A2B.tmp", .info = {Directory, 0, Upper}, .deletedBy = Pass::None},
      {.name = L"DSP1.tmp", .info = {Other, 0, Upper}, .deletedBy = Pass::None},
      {.name = L"DSP1.tmp", .info = {File, HighHalfOnly, Now}, .deletedBy = Pass::Dsp},
      {.name = L"1A2B.tmp", .info = {File, 0, Floor9}, .zoneHours = 9, .deletedBy = Pass::Hex},
      {.name = L"1A2B.tmp",
       .info = {File, 0, Floor9 - 1},
       .zoneHours = 9,
       .deletedBy = Pass::HexWithOptionA},
      {.name = L"1A2B.tmp",
       .info = {File, 0, Upper + 1},
       .zoneHours = 9,
       .deletedBy = Pass::HexWithOptionA},
      {.name = L"1A2B.tmp", .zoneFails = true, .deletedBy = Pass::HexWithOptionA},
      {.name = L"DSP1.tmp", .zoneFails = true, .deletedBy = Pass::Dsp},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Machine machine;
    machine.zoneHours = row.zoneHours;
    machine.zoneFails = row.zoneFails;
    machine.folders[User] = {{.name = row.name, .info = row.info}};
    EXPECT_EQ(FirstPassThatDeletes(machine), row.deletedBy);
  }
  // The listing's pattern has checked for ".tmp" before any pass asks; the rule holds anyway.
  EXPECT_FALSE(HexNameRule(L"1A2B.tm"));
}

// A file the platform refuses to delete, one that vanishes once listed and one written to just
// before its deletion are not counted, and the pass goes on.
TEST(Sweep, CountsOnlyTheFilesItDeleted) {
  Machine machine;
  machine.folders[User] = {
      {.name = L"1.tmp"}, {.name = L"2.tmp"}, {.name = L"3.tmp"}, {.name = L"4.tmp"}};
  machine.onTake = [](Entry& entry) {
    if (entry.name == L"2.tmp") entry.gone = true;
  };
  machine.onDelete = [](Entry& entry) {
    if (entry.name == L"3.tmp") entry.info.size = 1;
    return entry.name != L"1.tmp";
  };
  EXPECT_EQ(SweepDirectory(machine, User, HexPass(false)), 1);
  EXPECT_TRUE(machine.folders[User][3].gone);
}

// The pattern and each path must fit the platform's path buffer, terminator included: 8
// characters of folder and 8 of pattern do not fit 16.
TEST(Sweep, APatternThatDoesNotFitIsNotListed) {
  Machine machine;
  machine.capacity = 16;
  machine.folders[User] = {{.name = L"12.tmp"}};
  EXPECT_EQ(SweepDirectory(machine, User + L"\\", HexPass(false)), 0);
}

// Where the sweep looks, in order, with one source changed. A folder that is not there drops out,
// but the user's temp folder is taken unprobed. The QORTemp path must fit 259 characters.
TEST(TempDirs, Folders) {
  struct Row {
    const char* name;
    FolderSource source;
    String path;  // "": the source fails
    TempDirList folders;
  };
  const String user = User + L"\\";
  const String fits = L"C:\\" + String(248, L'x');  // and "\QORTemp": 259
  const String tooLong = fits + L"x";
  const Row rows[] = {
      {"no Windows temp", SystemTemp, L"C:\\no", {QorTemp, Spool, user}},
      {"no QORTemp", CommonAppData, L"C:\\no", {WinTemp, Spool, user}},
      {"no spool", SpoolDir, L"C:\\no", {WinTemp, QorTemp, user}},
      {"user temp missing", UserTemp, L"C:\\no", {WinTemp, QorTemp, Spool, L"C:\\no"}},
      {"user temp fails", UserTemp, L"", {WinTemp, QorTemp, Spool}},
      {"user temp is Windows temp", UserTemp, WinTemp, {WinTemp, QorTemp, Spool, WinTemp}},
      {"QORTemp fits", CommonAppData, fits, {WinTemp, fits + L"\\QORTemp", Spool, user}},
      {"QORTemp too long", CommonAppData, tooLong, {WinTemp, Spool, user}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Machine machine;
    machine.sources[row.source] = row.path;
    if (row.path.empty()) machine.sources.erase(row.source);
    machine.folders[fits + L"\\QORTemp"] = {};
    machine.folders[tooLong + L"\\QORTemp"] = {};
    TempDirList found{L"left over"};
    EXPECT_EQ(CollectTempDirs(machine, found), row.folders.size());
    EXPECT_EQ(found, row.folders);
  }
}

TEST(TempDirs, AfterAnInterruptOnlyTheUserTempFolder) {
  Machine machine;
  machine.interrupt = OnInterrupt;
  machine.interrupt(SIGINT);
  TempDirList found;
  CollectTempDirs(machine, found);
  EXPECT_EQ(found, TempDirList{User + L"\\"});
}

std::string Success(int count) {
  return "SUCCESS(" + std::to_string(count) + ")\n";
}

std::string Refused(const std::string& argument) {
  return "Invalid parameter ignored: " + argument + "\n";
}

const char* const Usage =
    "Usage: QOR_DelTmp [/s][/a]\n"
    "  Deletes temporary files created by\n"
    "    GetTempFileName(TempPath, prefix, 0, tmpfile).\n"
    "  Retruns deleted file count.\n"
    "  Options:\n"
    "    /s : to suppress all messages. (Silent)\n"
    "    /a : to delete All TmpFile\n"
    "    /? : to show usage.\n"
    "Type Ctrl+C to abort execution.\n";

// Five old empty files named in sweep order, 1.tmp to 5.tmp, and a young one; the user's temp
// folder cannot be read.
void PutFiveOldFilesAndAYoungOne(Machine& machine) {
  machine.folders.erase(User);
  machine.folders[WinTemp] = {{.name = L"1.tmp"}};
  machine.folders[QorTemp] = {{.name = L"2.tmp"}, {.name = L"3.tmp"}, {.name = L"4.tmp"}};
  machine.folders[Spool] = {{.name = L"5.tmp"}, {.name = L"6.tmp", .info = {File, 0, Now}}};
}

// Whole runs: what the options print, in bytes, and the exit status, which is the count.
TEST(Run, Options) {
  struct Row {
    std::vector<const Char*> arguments;
    std::string printed;
    int status;
  };
  const String longest = String(62, L'/') + L"s";  // 63 characters
  const String tooLong = L"/" + longest;
  const Row rows[] = {
      {{}, Success(5), 5},
      {{L"-A"}, Success(6), 6},
      {{L"/"}, Success(5), 5},
      {{L"/s-a"}, "", 6},
      {{L"/sa"}, Refused("/sa"), 0},
      {{L"s"}, Refused("s"), 0},
      {{L"/a/x"}, Refused("/a/x"), 0},
      {{L"/x", L"/s"}, Refused("/x"), 0},
      {{L"/s", L"/x"}, "", 0},
      {{L"/??"}, Refused("/??"), 0},
      {{L"/?"}, Usage, 0},
      {{L"/s/?"}, "", 0},
      {{L"/\u00E9\u0416x"}, Refused("/\xE9?x"), 0},  // beyond U+00FF: '?'
      {{longest.c_str()}, "", 5},
      {{tooLong.c_str()}, Refused(std::string(63, '/') + "s"), 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.printed);
    Machine machine;
    PutFiveOldFilesAndAYoungOne(machine);
    std::vector<const Char*> arguments{L"QOR_DelTmp"};
    arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
    EXPECT_EQ(RunTool(machine, arguments), row.status);
    EXPECT_EQ(machine.output, row.printed);
  }
}

// Ctrl+C as a cursor takes a file, or as it deletes one: that file is finished, none after it is
// deleted, and the count so far is printed and returned; files are named in sweep order. Several
// cursors change none of that.
TEST(Run, Interrupt) {
  struct Row {
    unsigned workers;
    const wchar_t* at;
    bool whileDeleting;
    int deleted;
  };
  const Row rows[] = {
      {.workers = 1, .at = L"1.tmp", .whileDeleting = false, .deleted = 0},
      {.workers = 1, .at = L"3.tmp", .whileDeleting = false, .deleted = 2},
      {.workers = 1, .at = L"3.tmp", .whileDeleting = true, .deleted = 3},
      {.workers = 2, .at = L"1.tmp", .whileDeleting = true, .deleted = 1},
      {.workers = 3, .at = L"2.tmp", .whileDeleting = false, .deleted = 1},
      {.workers = 3, .at = L"no such file", .whileDeleting = false, .deleted = 5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.at << " with " << row.workers << " cursors");
    Machine machine;
    PutFiveOldFilesAndAYoungOne(machine);
    machine.workers = row.workers;
    machine.onTake = [&machine, &row](Entry& entry) {
      if (entry.name == row.at && !row.whileDeleting) machine.interrupt(SIGINT);
    };
    machine.onDelete = [&machine, &row](Entry& entry) {
      if (entry.name == row.at && row.whileDeleting) machine.interrupt(SIGINT);
      return true;
    };
    EXPECT_EQ(RunTool(machine, std::vector<const Char*>{L"QOR_DelTmp"}), row.deleted);
    EXPECT_EQ(machine.output, Success(row.deleted));
    int gone = 0;
    for (const auto& [path, entries] : machine.folders) {
      for (const Entry& entry : entries) {
        if (entry.gone) ++gone;
      }
    }
    EXPECT_EQ(gone, row.deleted);
  }
}

// A value the format has no place for is left out; a '%' at the end stands.
TEST(Run, Messages) {
  Machine machine;
  PrintMessage(machine, L"%s|%d|%d|%", {L"a\u00FF\u0100b", -42});
  EXPECT_EQ(machine.output, "a\xFF?b|-42||%");
}

}  // namespace
}  // namespace qor::testing
