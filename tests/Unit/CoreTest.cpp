// The portable core on the in-memory machine, one table per property.
#include <gtest/gtest.h>

#include "Fake/FakePlatform.h"
#include "RunControl.h"
#include "Sweep.h"
#include "TempDirs.h"

namespace qor::testing {

struct Machine : FakePlatform {  // with the process-wide flags as a run starts
  Machine() { RunFlag.store(true), SilentFlag = false; }
  int Pass(const SweepPass& pass, int total = 0) {
    SweepDirectory(*this, Win, pass, total);
    return total;
  }
};

// One file after three not counted (refused, vanished, changed before deletion): which of the
// hex pass, the hex pass with option a and the DSP pass (1-3) deletes it. Zone: hours ahead of
// UTC, 99 where the local-to-UTC conversion fails.
TEST(Sweep, NamesAndQualification) {
  const EntryInfo S{File, 0, Upper};
  const FileTime Big = FileTime{1} << 32, Floor9 = Floor - 9 * Hour;
  const wchar_t *H = L"1A2B.tmp", *D = L"DSP1.tmp";
  // clang-format off
  const std::tuple<const wchar_t*, EntryInfo, int, int> rows[] = {
      {L".tmp", S, 0, 1}, {L"9.tMp", S, 0, 1}, {L"F0.TMP", S, 0, 1}, {L"ABC.tmp", S, 0, 1},
      {H, S, 0, 1}, {L"12345.tmp", S, 0, 0}, {L"1a2b.tmp", S, 0, 0}, {L"G1.tmp", S, 0, 0},
      {L"1.2.tmp", S, 0, 0}, {L"1A2B.tmpx", S, 0, 0}, {L"x.tmp", S, 0, 0}, {L"DSP.tmp", S, 0, 3},
      {L"dsP1.TMP", S, 0, 3}, {L"DSP00FF.tmp", S, 0, 3}, {L"DSP12345.tmp", S, 0, 0},
      {L"DSP00ff.tmp", S, 0, 0}, {L"XSP1.tmp", S, 0, 0}, {L"D\u017FP1.tmp", S, 0, 0},
      {L"DSP1.tmp ", S, 0, 0}, {H, {File, 0, Upper + 1}, 0, 2}, {H, {File, 0, Floor}, 0, 1},
      {H, {File, 0, Floor - 1}, 0, 2}, {H, {File, 1, Upper}, 0, 0}, {H, {File, Big, 0}, 0, 0},
      {H, {Directory, 0, Upper}, 0, 0}, {D, {Other, 0, Upper}, 0, 0}, {D, {File, Big, Now}, 0, 3},
      {H, {File, 0, Floor9}, 9, 1}, {H, {File, 0, Floor9 - 1}, 9, 2}, {H, S, 9, 1},
      {H, {File, 0, Upper + 1}, 9, 2}, {H, S, 99, 2}, {D, S, 99, 3}};
  // clang-format on
  for (const auto& [name, info, zone, by] : rows) {
    Machine m;
    m.zoneHours = zone, m.failLocalToUtc = zone == 99;
    m.folders[Win] = {{L"1.tmp", S, true}, {L"2.tmp"}, {L"3.tmp"}, {name, info}};
    m.onEntry = [](Entry& e) { e.gone = e.gone || e.name == L"2.tmp"; };
    m.beforeDelete = [](Entry& e) { e.info.size += e.name == L"3.tmp" ? 1 : 0; };
    const int hex = m.Pass(HexPass(false)), all = m.Pass(HexPass(true));
    EXPECT_EQ(hex + 2 * all + 3 * m.Pass(DspPass()), by) << name << zone;
  }
  EXPECT_FALSE(HexNameRule(L"1A2B.tm"));  // the pattern has checked ".tmp" before any pass asks
  for (const int capacity : {24, 25}) {   // "C:\Windows\temp\????.tmp" and its terminator
    Machine m;
    m.capacity = capacity, m.folders[Win] = {{H}};
    EXPECT_EQ(m.Pass(HexPass(false)), capacity - 24);
  }
}

// Where the sweep looks, in order, with one source set (empty: it fails). A missing folder drops
// out, but not the user's temp folder, taken unprobed; after an interrupt only it is left.
TEST(TempDirs, Folders) {
  const String U = User + L"\\", Root = L"C:\\" + String(248, L'x'), X = Root + L"x",
               No = L"C:\\no";
  // clang-format off
  const std::tuple<FolderSource, String, TempDirList> rows[] = {
      {SystemTemp, Win, {Win, Qor, Spool, U}}, {SystemTemp, No, {Qor, Spool, U}},
      {CommonAppData, No, {Win, Spool, U}}, {SpoolDir, No, {Win, Qor, U}},
      {UserTemp, L"", {Win, Qor, Spool}}, {UserTemp, No, {Win, Qor, Spool, No}},
      {UserTemp, Win, {Win, Qor, Spool, Win}},
      {CommonAppData, Root, {Win, Root + L"\\QORTemp", Spool, U}},  // 259 characters
      {CommonAppData, X, {Win, Spool, U}}};  // one more: dropped, though the root is a folder
  // clang-format on
  for (const auto& [source, path, list] : rows) {
    Machine m;
    m.folders[Root], m.folders[Root + L"\\QORTemp"], m.folders[X], m.folders[X + L"\\QORTemp"];
    path.empty() ? void(m.sources.erase(source)) : void(m.sources[source] = path);
    TempDirList got{L"left over"};
    EXPECT_EQ(CollectTempDirs(m, got), list.size());
    EXPECT_EQ(got, list);
    RunFlag.store(false);
    EXPECT_EQ(CollectTempDirs(m, got), m.sources.contains(UserTemp));
  }
}

// The command line: the bytes printed, and the status (the count, or 0 with nothing deleted).
TEST(Run, Options) {
  const std::string usage =
      "Usage: QOR_DelTmp [/s][/a]\n  Deletes temporary files created by\n"
      "    GetTempFileName(TempPath, prefix, 0, tmpfile).\n  Retruns deleted file count.\n"
      "  Options:\n    /s : to suppress all messages. (Silent)\n    /a : to delete All TmpFile\n"
      "    /? : to show usage.\nType Ctrl+C to abort execution.\n";
  const auto bad = [](const std::string& a) { return "Invalid parameter ignored: " + a + "\n"; };
  const std::string S1 = "SUCCESS(1)\n", S2 = "SUCCESS(2)\n", B64 = bad(std::string(63, '/') + "s");
  const String A63 = String(62, L'/') + L"s", A64 = L"/" + A63;
  const Char* P = L"QOR_DelTmp";
  // clang-format off
  const std::tuple<std::vector<const Char*>, std::string, int> rows[] = {
      {{P}, S1, 1}, {{P, L"/a"}, S2, 2}, {{P, L"-A"}, S2, 2}, {{P, L"/s"}, "", 1}, {{P, L"/"}, S1, 1},
      {{P, L"/s-a"}, "", 2}, {{P, L"/x"}, bad("/x"), 0}, {{P, L"/sa"}, bad("/sa"), 0},
      {{P, L"s"}, bad("s"), 0}, {{P, L"/a/x"}, bad("/a/x"), 0}, {{P, L"/x", L"/s"}, bad("/x"), 0},
      {{P, L"/s", L"/x"}, "", 0}, {{P, L"/??"}, bad("/??"), 0}, {{P, L"/?"}, usage, 0},
      {{P, L"/s/?"}, "", 0}, {{P, L"/\u00E9\u0416x"}, bad("/\xE9?x"), 0},
      {{P, A63.c_str()}, "", 1}, {{P, A64.c_str()}, B64, 0}};
  // clang-format on
  for (const auto& [args, printed, status] : rows) {
    Machine m;
    m.folders[Win] = {{L"1A2B.tmp", {File, 0, Now}}, {L"DSP1.tmp"}};  // option a takes the first
    m.folders[User] = {{L"1.tmp"}}, m.unreadable = {User};  // an unreadable folder counts nothing
    EXPECT_EQ(RunTool(m, args), status) << printed;
    EXPECT_EQ(m.output, printed);
    EXPECT_EQ(m.folders[Win][0].gone + m.folders[Win][1].gone, status) << printed;
  }
}

// Ctrl+C as a cursor reaches an entry, or as it deletes one: the entry in hand is finished,
// nothing after it is looked at, and the count so far stands. Cursors count each file once.
TEST(Run, Interrupt) {
  // clang-format off
  const std::tuple<unsigned, String, bool, int> rows[] = {
      {1, L"-", false, 6}, {2, L"-", false, 6}, {3, L"-", false, 6}, {1, L"1.tmp", false, 0},
      {1, L"3.tmp", false, 2}, {1, L"3.tmp", true, 3}, {2, L"1.tmp", true, 1}, {3, L"2.tmp", false, 1}};
  for (const auto& [workers, at, deleting, count] : rows) {
    Machine m;
    m.folders = {{Win, {{L"1.tmp"}}}, {Qor, {{L"2.tmp"}, {L"3.tmp"}, {L"4.tmp"}}},
                 {Spool, {{L"5.tmp"}}}, {User, {{L"6.tmp"}}}};
    // clang-format on
    m.workers = workers;
    m.onEntry = [&](Entry& e) { !deleting&& e.name == at ? m.handler(2) : void(); };
    m.beforeDelete = [&](Entry& e) { deleting&& e.name == at ? m.handler(2) : void(); };
    const Char* argv[] = {L"QOR_DelTmp"};
    EXPECT_EQ(RunTool(m, argv), count) << workers << at;
    EXPECT_EQ(m.output, "SUCCESS(" + std::to_string(count) + ")\n");
    int i = 0;
    for (const String& folder : {Win, Qor, Spool, User})
      for (const Entry& e : m.folders[folder]) EXPECT_EQ(e.gone, ++i <= count) << e.name;
  }
}

TEST(Run, PrintMessage) {
  Machine m;
  PrintMessage(m, L"%s|%d|%%|%x|%", {L"a\u00FF\u0100b", -42});
  PrintMessage(m, L" %s %d", {L"only"});  // a missing value prints nothing
  EXPECT_EQ(m.output, "a\xFF?b|-42|%|%x|% only ");
}

}  // namespace qor::testing
