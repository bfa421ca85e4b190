// Candidate folders. A source that fails is skipped silently; the others
// still count.
#include "TempDirs.h"

#include "RunControl.h"

namespace qor {

namespace {

// The tool's own shared folder under the common application-data folder.
bool AppendSharedFolder(Platform& platform, String& path) {
  constexpr StringView Name = L"QORTemp";
  if (path.size() + 1 + Name.size() >= platform.PathCapacity()) return false;
  path.push_back(platform.Separator());
  path += Name;
  return true;
}

}  // namespace

bool IsExistingDirectory(Platform& platform, StringView path) {
  return platform.IsDirectory(path) && RunFlag.load();
}

std::size_t CollectTempDirs(Platform& platform, TempDirList& list) {
  list.clear();
  String path;
  if (platform.GetFolder(FolderSource::SystemTemp, path) && IsExistingDirectory(platform, path)) {
    list.push_back(path);
  }
  if (platform.GetFolder(FolderSource::CommonAppData, path) && AppendSharedFolder(platform, path) &&
      IsExistingDirectory(platform, path)) {
    list.push_back(path);
  }
  if (platform.GetFolder(FolderSource::SpoolDir, path) && IsExistingDirectory(platform, path)) {
    list.push_back(path);
  }
  if (platform.GetFolder(FolderSource::UserTemp, path)) list.push_back(path);
  return list.size();
}

}  // namespace qor
