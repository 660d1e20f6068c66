#include "FolderAdd.h"

#include <sys/stat.h>

#include "FolderScan.h"

namespace {
bool IsDirectory(const std::string& Path) {
  struct stat st {};
  return stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Files(int Count) { return std::to_string(Count) + (Count == 1 ? " file" : " files"); }
}  // namespace

void TFolderAdd::Expand(const std::vector<std::string>& Paths) {
  for (const std::string& path : Paths) {
    if (FCancelled) return;
    if (!IsDirectory(path)) {
      FItems.push_back({path, ""});
      continue;
    }
    FHadFolder = true;
    FFolders.push_back(path);
    // The scan counts its own files; the callback sees those of the whole add.
    const size_t before = FItems.size();
    TFolderScan scan;
    scan.OnProgress = [this, before](size_t Found, const std::string& Folder) {
      return !OnProgress || OnProgress(before + Found, Folder);
    };
    const TFolderScanResult found = scan.Scan(path);
    for (const TScannedFile& file : found.Files) FItems.push_back({file.Path, file.Folder});
    for (const TScanRefusal& refusal : found.Refused) Refuse(refusal.Path, refusal.Reason);
    if (found.Cancelled) FCancelled = true;
  }
}

void TFolderAdd::Refuse(const std::string& Path, const std::string& Reason) {
  // The window's messages name the file themselves.
  FLogLines.push_back(Reason.find(Path) != std::string::npos ? Reason : Path + ": " + Reason);
}

std::string TFolderAdd::Summary() const {
  const std::string head = FCancelled ? "Cancelled: " : "";
  if (FAdded == 0 && FLogLines.empty() && FFolders.size() == 1 && !FCancelled)
    return "No video files in " + FFolders.front() + ".";
  std::string text = head + Files(FAdded) + " added";
  if (!FLogLines.empty()) return text + ", " + std::to_string(FLogLines.size()) + " refused: see the Log.";
  return text + ".";
}
