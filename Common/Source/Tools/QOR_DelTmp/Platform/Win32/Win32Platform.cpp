// The Windows body of the platform layer. Each operation is the Win32 call the
// seam names, with its result checked the strict way: only the documented
// success value counts, and a length that does not fit is a failure, never a
// truncated path.
#include "Platform/Win32/Win32Platform.h"

// clang-format off
#include <windows.h>
#include <shlobj.h>
#include <winspool.h>
// clang-format on

#include <csignal>
#include <cstdio>
#include <cwchar>

#include "WildcardMatch.h"

namespace qor {

namespace {

constexpr DWORD PathChars = MAX_PATH;
constexpr DWORD SpoolValueBytes = PathChars * sizeof(wchar_t);  // 520

FileTime ToFileTime(const FILETIME& ft) {
  return (static_cast<FileTime>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

bool IsPlainDirectory(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// The listing asks FindFirstFileW for more than the pattern and narrows the
// result with the portable matcher, because the native wildcard disagrees with
// Windows' own rules in both directions:
// - Windows also matches each name's 8.3 short name, so "*.tmp" (and even
//   "????.tmp") can return a long name such as "ab.tmpl" through "AB~1.TMP";
// - Wine 8 lets '?' match exactly one character, so "????.tmp" would miss
//   "12.tmp", ".tmp" and "DSP.tmp", which Windows lists.
// Each run of '?' becomes one '*', wide enough for both.
String WidenPattern(StringView namePattern) {
  String wide;
  wide.reserve(namePattern.size());
  for (const Char c : namePattern) {
    if (c != L'?') {
      wide.push_back(c);
    } else if (wide.empty() || wide.back() != L'*') {
      wide.push_back(L'*');
    }
  }
  return wide;
}

// What a handle opened for deletion tells of its file: the same facts the
// listing gave, read again from the file itself.
bool InfoOfHandle(HANDLE file, EntryInfo& info) {
  FILE_BASIC_INFO basic{};
  FILE_STANDARD_INFO standard{};
  if (::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) == 0 ||
      ::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) == 0) {
    return false;
  }
  const bool directory =
      standard.Directory != FALSE || (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  info.kind = directory ? EntryKind::Directory : EntryKind::File;
  info.size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
  info.lastWrite = static_cast<FileTime>(basic.LastWriteTime.QuadPart);
  return true;
}

class Win32Listing final : public Listing {
 public:
  Win32Listing(HANDLE heldFolder, StringView folder, StringView pattern)
      : folder_(heldFolder), folderPath_(folder), pattern_(pattern) {}
  ~Win32Listing() override {
    if (find_ != INVALID_HANDLE_VALUE) ::FindClose(find_);
    ::CloseHandle(folder_);
  }
  Win32Listing(const Win32Listing&) = delete;
  Win32Listing& operator=(const Win32Listing&) = delete;

  // Positions the listing on its first matching entry.
  bool Start(const String& searchPath) {
    find_ = ::FindFirstFileW(searchPath.c_str(), &data_);
    if (find_ == INVALID_HANDLE_VALUE) return false;
    return Matches() || Next();
  }

  [[nodiscard]] StringView Name() const override {
    return {data_.cFileName, ::wcsnlen(data_.cFileName, MAX_PATH)};
  }

  bool Examine(EntryInfo& info) override {
    info.kind = (data_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::Directory
                                                                         : EntryKind::File;
    info.size = (static_cast<std::uint64_t>(data_.nFileSizeHigh) << 32) | data_.nFileSizeLow;
    info.lastWrite = ToFileTime(data_.ftLastWriteTime);
    return true;
  }

  // The file is opened sharing nothing: while any other program has it open,
  // for reading, writing or deleting and whatever sharing it allowed, the
  // open fails with ERROR_SHARING_VIOLATION and the file is kept (DeleteFileW
  // would succeed on a file held with FILE_SHARE_DELETE and take it from
  // under its program). Once open, no one else can open it either, so what
  // the handle shows is what goes: a file rewritten or replaced since it was
  // listed is judged again here. FILE_FLAG_OPEN_REPARSE_POINT opens a link or
  // junction itself, never its target; without FILE_FLAG_BACKUP_SEMANTICS a
  // folder does not open at all. The listing holds the folder, so the path
  // cannot lead elsewhere.
  bool Delete(const EntryRule& rule) override {
    const String path = folderPath_ + String(Name());
    const HANDLE file =
        ::CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, nullptr,
                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    EntryInfo info;
    bool deleted = false;
    if (InfoOfHandle(file, info) && rule.Holds(info)) {
      // A read-only file refuses this (ERROR_ACCESS_DENIED) and is kept.
      FILE_DISPOSITION_INFO disposition{TRUE};
      deleted = ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                             sizeof disposition) != 0;
    }
    ::CloseHandle(file);
    return deleted;
  }

  bool Next() override {
    // FindNextFileW returns a BOOL; only 1 is success.
    while (::FindNextFileW(find_, &data_) == 1) {
      if (Matches()) return true;
    }
    return false;
  }

  // A find handle is one cursor; passes here run as a single loop.
  std::unique_ptr<Listing> Fork() override { return nullptr; }

 private:
  [[nodiscard]] bool Matches() const { return WildcardMatch(StringView(pattern_), Name()); }

  HANDLE folder_;
  HANDLE find_ = INVALID_HANDLE_VALUE;
  String folderPath_;  // ends in '\\'
  String pattern_;
  WIN32_FIND_DATAW data_{};
};

bool FolderFromBuffer(const wchar_t* buffer, String& out) {
  const std::size_t length = ::wcsnlen(buffer, PathChars);
  if (length == 0 || length >= PathChars) return false;
  out.assign(buffer, length);
  return true;
}

// For calls that return the length without terminator when the path fits,
// or the size needed (terminator included) when it does not.
bool AssignReportedPath(const wchar_t* buffer, DWORD length, String& out) {
  if (length == 0 || length >= PathChars) return false;
  out.assign(buffer, length);
  return true;
}

bool GetSystemTemp(String& out) {
  wchar_t buffer[PathChars] = {};
  String windows;
  if (!AssignReportedPath(buffer, ::GetWindowsDirectoryW(buffer, PathChars), windows)) {
    return false;
  }
  constexpr StringView Tail = L"\\temp";
  if (windows.size() + Tail.size() >= PathChars) return false;
  out = windows + String(Tail);
  return true;
}

bool GetCommonAppData(String& out) {
  wchar_t buffer[PathChars] = {};
  if (!::SHGetSpecialFolderPathW(nullptr, buffer, CSIDL_COMMON_APPDATA, FALSE)) return false;
  return FolderFromBuffer(buffer, out);
}

bool GetSpoolDirectory(String& out) {
  PRINTER_DEFAULTSW defaults{nullptr, nullptr, SERVER_READ};
  HANDLE server = nullptr;
  // No printer name: the local print server itself.
  if (!::OpenPrinterW(nullptr, &server, &defaults)) return false;
  wchar_t buffer[PathChars] = {};
  DWORD type = 0;
  DWORD needed = 0;
  wchar_t valueName[] = L"DefaultSpoolDirectory";
  const DWORD result = ::GetPrinterDataW(server, valueName, &type, reinterpret_cast<BYTE*>(buffer),
                                         SpoolValueBytes, &needed);
  ::ClosePrinter(server);
  if (result != ERROR_SUCCESS) return false;
  // The terminator must lie inside what was written: a value that fills the
  // buffer without one would run into whatever follows.
  const std::size_t written =
      (needed < SpoolValueBytes ? needed : SpoolValueBytes) / sizeof(wchar_t);
  const std::size_t length = ::wcsnlen(buffer, written);
  if (length == written || length == 0) return false;
  out.assign(buffer, length);
  return true;
}

bool GetUserTemp(String& out) {
  wchar_t buffer[PathChars] = {};
  return AssignReportedPath(buffer, ::GetTempPathW(PathChars, buffer), out);
}

}  // namespace

bool Win32Platform::GetFolder(FolderSource source, String& out) {
  switch (source) {
    case FolderSource::SystemTemp:
      return GetSystemTemp(out);
    case FolderSource::CommonAppData:
      return GetCommonAppData(out);
    case FolderSource::SpoolDir:
      return GetSpoolDirectory(out);
    case FolderSource::UserTemp:
      return GetUserTemp(out);
  }
  return false;
}

bool Win32Platform::IsDirectory(StringView path) {
  // A wildcard would make the listing below match other names.
  if (path.find_first_of(L"*?") != StringView::npos) return false;
  const String exact(path);
  WIN32_FIND_DATAW data{};
  // A listing of the exact path yields the entry of that very name, with its
  // own attributes: a junction shows FILE_ATTRIBUTE_REPARSE_POINT here rather
  // than its target's.
  const HANDLE find = ::FindFirstFileW(exact.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  bool found = false;
  do {
    if (IsPlainDirectory(data.dwFileAttributes)) {
      found = true;
      break;
    }
  } while (::FindNextFileW(find, &data) == 1);
  ::FindClose(find);
  return found;
}

std::unique_ptr<Listing> Win32Platform::OpenListing(StringView folder, StringView namePattern) {
  const String folderPath(folder);
  // Reading the folder's data is what makes the missing FILE_SHARE_DELETE
  // bind others: a handle with attribute access only does not enter the
  // sharing check. The folder itself is opened, not what it might point to,
  // and a folder that turned into a junction since it was probed is refused.
  const HANDLE held =
      ::CreateFileW(folderPath.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (held == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileInformationByHandle(held, &info) == 0 || !IsPlainDirectory(info.dwFileAttributes)) {
    ::CloseHandle(held);
    return nullptr;
  }
  auto listing = std::make_unique<Win32Listing>(held, folder, namePattern);
  if (!listing->Start(folderPath + WidenPattern(namePattern))) return nullptr;
  return listing;
}

FileTime Win32Platform::NowUtc() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  return ToFileTime(now);
}

bool Win32Platform::LocalToUtc(const CivilTime& local, FileTime& out) {
  const int fields[] = {local.year,   local.month,  local.day,        local.hour,
                        local.minute, local.second, local.millisecond};
  for (const int field : fields) {
    if (field < 0 || field > 0xFFFF) return false;
  }
  SYSTEMTIME localTime{};
  localTime.wYear = static_cast<WORD>(local.year);
  localTime.wMonth = static_cast<WORD>(local.month);
  localTime.wDay = static_cast<WORD>(local.day);
  localTime.wHour = static_cast<WORD>(local.hour);
  localTime.wMinute = static_cast<WORD>(local.minute);
  localTime.wSecond = static_cast<WORD>(local.second);
  localTime.wMilliseconds = static_cast<WORD>(local.millisecond);
  SYSTEMTIME utc{};
  // No zone given: the current zone's rules for that date apply.
  if (::TzSpecificLocalTimeToSystemTime(nullptr, &localTime, &utc) != 1) return false;
  FILETIME converted{};
  if (!::SystemTimeToFileTime(&utc, &converted)) return false;
  out = ToFileTime(converted);
  return true;
}

void Win32Platform::InstallInterruptHandler(void (*handler)(int)) {
  // The CRT serves SIGINT from its console control handler and resets the
  // disposition to SIG_DFL before calling `handler`, so a second Ctrl+C ends
  // the process.
  std::signal(SIGINT, handler);
}

void Win32Platform::WriteOutput(std::string_view bytes) {
  // stdout is in text mode: each '\n' goes out as CR LF. The bytes are
  // already single-byte text; the CRT's wide output is not used because
  // under mingw it drops the rest of a line at a character it cannot convert.
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

}  // namespace qor
