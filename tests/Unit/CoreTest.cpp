// The portable core on the in-memory machine, one table per property.
#include <gtest/gtest.h>

#include "Fake/FakePlatform.h"
#include "RunControl.h"
#include "RunTool.h"
#include "Sweep.h"
#include "TempDirs.h"
namespace qor::testing {
struct Machine : FakePlatform {  // with the process-wide flags as a run starts
  Machine() { RunFlag.store(true), SilentFlag = false; }
  int Pass(const SweepPass& p) { return SweepDirectory(*this, User + L"\\", p); }
};
// A file after three never counted (refused, vanished, changed before deletion): which of the hex
// pass, it with option a, the DSP pass (1-3) deletes it. Zone: hours ahead of UTC; 99: no zone.
TEST(Sweep, NamesAndQualification) {
  const EntryInfo S{File, 0, Upper};
  const FileTime Big = FileTime{1} << 32, Floor9 = Floor - 9 * Hour;
  const wchar_t *H = L"1A2B.tmp", *D = L"DSP1.tmp";
  // clang-format off
  const std::tuple<const wchar_t*, EntryInfo, int, int> rows[] = {
      {L".tmp", S, 0, 1}, {L"9.tMp", S, 0, 1}, {L"F0.TMP", S, 0, 1}, {L"ABC.tmp", S, 0, 1},
      {H, S, 0, 1}, {L"12345.tmp", S, 0, 0}, {L"1a2b.tmp", S, 0, 0}, {L"G1.tmp", S, 0, 0},
      {L"1.2.tmp", S, 0, 0}, {L"1A2B.tmpx", S, 0, 0}, {L"DSP.tmp", S, 0, 3}, {L"dsP1.TMP", S, 0, 3},
      {L"DSP00FF.tmp", S, 0, 3}, {L"DSP12345.tmp", S, 0, 0}, {L"DSP00ff.tmp", S, 0, 0},
      {L"XSP1.tmp", S, 0, 0}, {L"D\u017FP1.tmp", S, 0, 0}, {H, {File, 0, Upper + 1}, 0, 2},
      {H, {File, 0, Floor}, 0, 1}, {H, {File, 0, Floor - 1}, 0, 2}, {H, {File, 1, Upper}, 0, 0},
      {H, {File, Big, 0}, 0, 0}, {H, {Directory, 0, Upper}, 0, 0}, {D, {Other, 0, Upper}, 0, 0},
      {D, {File, Big, Now}, 0, 3}, {H, {File, 0, Floor9}, 9, 1}, {H, {File, 0, Floor9 - 1}, 9, 2},
      {H, {File, 0, Upper + 1}, 9, 2}, {H, S, 99, 2}, {D, S, 99, 3}};
  // clang-format on
  for (const auto& [name, info, zone, by] : rows) {
    Machine m;
    m.zoneHours = zone, m.failLocalToUtc = zone == 99;
    m.folders[User] = {{L"1.tmp", S, true}, {L"2.tmp"}, {L"3.tmp"}, {name, info}};
    m.onEntry = [](Entry& e) { e.gone = e.gone || e.name == L"2.tmp"; };
    m.beforeDelete = [](Entry& e) { e.info.size += e.name == L"3.tmp" ? 1 : 0; };
    const int hex = m.Pass(HexPass(false)), all = m.Pass(HexPass(true));
    EXPECT_EQ(hex + 2 * all + 3 * m.Pass(DspPass()), by) << name << zone;
  }
  EXPECT_FALSE(HexNameRule(L"1A2B.tm"));  // the pattern has checked ".tmp" before any pass asks
  Machine m;  // "C:\Temp\" needs no second separator, and "C:\Temp\????.tmp" no terminator
  m.capacity = 16, m.folders[User] = {{L"12.tmp"}};
  EXPECT_EQ(m.Pass(HexPass(false)), 0);
}

// Where the sweep looks, in order, with one source set (empty: it fails). Missing folders drop out
// but user temp (unprobed; alone after an interrupt). R\QORTemp fits in 259; X\QORTemp does not.
TEST(TempDirs, Folders) {
  const String U = User + L"\\", R = L"C:\\" + String(248, L'x'), X = R + L"x", No = L"C:\\no";
  // clang-format off
  const std::tuple<FolderSource, String, TempDirList> rows[] = {
      {SystemTemp, No, {Qor, Spool, U}}, {CommonAppData, No, {Win, Spool, U}},
      {SpoolDir, No, {Win, Qor, U}}, {UserTemp, L"", {Win, Qor, Spool}},
      {UserTemp, No, {Win, Qor, Spool, No}}, {UserTemp, Win, {Win, Qor, Spool, Win}},
      {CommonAppData, X, {Win, Spool, U}}, {CommonAppData, R, {Win, R + L"\\QORTemp", Spool, U}}};
  // clang-format on
  for (const auto& [source, path, list] : rows) {
    Machine m;
    m.folders[R], m.folders[R + L"\\QORTemp"], m.folders[X], m.folders[X + L"\\QORTemp"];
    path.empty() ? void(m.sources.erase(source)) : void(m.sources[source] = path);
    TempDirList got{L"left over"};
    CollectTempDirs(m, got);
    EXPECT_EQ(got, list);
    RunFlag.store(false);
    EXPECT_EQ(CollectTempDirs(m, got), m.sources.contains(UserTemp));
  }
}

// A run: arguments, cursors, Ctrl+C as a cursor reaches (or deletes) a file; the bytes printed,
// the status, and the files gone: always the first `status` of them (the file in hand is finished,
// none after it looked at, each counted once). The sixth is young; user temp cannot be read.
TEST(Run, OptionsAndInterrupt) {
  const std::string usage =
      "Usage: QOR_DelTmp [/s][/a]\n  Deletes temporary files created by\n"
      "    GetTempFileName(TempPath, prefix, 0, tmpfile).\n  Retruns deleted file count.\n"
      "  Options:\n    /s : to suppress all messages. (Silent)\n    /a : to delete All TmpFile\n"
      "    /? : to show usage.\nType Ctrl+C to abort execution.\n";
  const auto bad = [](const std::string& a) { return "Invalid parameter ignored: " + a + "\n"; };
  const auto ok = [](int n) { return "SUCCESS(" + std::to_string(n) + ")\n"; };
  const String A63 = String(62, L'/') + L"s", A64 = L"/" + A63, N;
  const Char* P = L"QOR_DelTmp";
  // clang-format off
  const std::tuple<std::vector<const Char*>, unsigned, String, bool, std::string, int> rows[] = {
      {{P}, 1, N, 0, ok(5), 5}, {{P, L"-A"}, 1, N, 0, ok(6), 6}, {{P, L"/"}, 1, N, 0, ok(5), 5},
      {{P, L"/s-a"}, 1, N, 0, "", 6}, {{P, L"/sa"}, 1, N, 0, bad("/sa"), 0},
      {{P, L"s"}, 1, N, 0, bad("s"), 0}, {{P, L"/a/x"}, 1, N, 0, bad("/a/x"), 0},
      {{P, L"/x", L"/s"}, 1, N, 0, bad("/x"), 0}, {{P, L"/s", L"/x"}, 1, N, 0, "", 0},
      {{P, L"/??"}, 1, N, 0, bad("/??"), 0}, {{P, L"/?"}, 1, N, 0, usage, 0},
      {{P, L"/s/?"}, 1, N, 0, "", 0}, {{P, L"/\u00E9\u0416x"}, 1, N, 0, bad("/\xE9?x"), 0},
      {{P, A63.c_str()}, 1, N, 0, "", 5},
      {{P, A64.c_str()}, 1, N, 0, bad(std::string(63, '/') + "s"), 0},
      {{P, L"/a"}, 2, N, 0, ok(6), 6}, {{P, L"/a"}, 3, N, 0, ok(6), 6},
      {{P}, 1, L"1.tmp", 0, ok(0), 0}, {{P}, 1, L"3.tmp", 0, ok(2), 2},
      {{P}, 1, L"3.tmp", 1, ok(3), 3}, {{P}, 2, L"1.tmp", 1, ok(1), 1},
      {{P}, 3, L"2.tmp", 0, ok(1), 1}};
  for (const auto& [args, workers, at, deleting, printed, status] : rows) {
    Machine m;
    m.folders = {{Win, {{L"1.tmp"}}}, {Qor, {{L"2.tmp"}, {L"3.tmp"}, {L"4.tmp"}}},
                 {Spool, {{L"5.tmp"}, {L"6.tmp", {File, 0, Now}}}}};
    // clang-format on
    m.workers = workers;
    m.onEntry = [&](Entry& e) { (e.name == at) && !deleting ? m.handler(2) : void(); };
    m.beforeDelete = [&](Entry& e) { (e.name == at) && deleting ? m.handler(2) : void(); };
    EXPECT_EQ(RunTool(m, args), status) << printed;
    EXPECT_EQ(m.output, printed);
    for (const auto& [path, entries] : m.folders)  // the files are named in sweep order
      for (const Entry& e : entries) EXPECT_EQ(e.gone, e.name[0] - L'0' <= status) << printed;
  }
  Machine m;  // the message writer: a missing value prints nothing, a last % stands
  PrintMessage(m, L"%s|%d|%d|%", {L"a\u00FF\u0100b", -42});
  EXPECT_EQ(m.output, "a\xFF?b|-42||%");
}
}  // namespace qor::testing
