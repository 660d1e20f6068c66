#include "FolderAdd.h"

#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "FolderScan.h"

namespace {
bool IsDirectory(const std::string& Path) {
  struct stat st {};
  return stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The path a file is listed under, for telling whether it is listed already.
std::string ListedKey(const std::string& Path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(Path, error);
  if (error) absolute = Path;
  return absolute.lexically_normal().string();
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
    for (const TScanRefusal& folder : found.LeftOut) {
      FLogLines.push_back(folder.Path + ": " + folder.Reason);
      ++FLeftOut;
    }
    if (found.Cancelled) FCancelled = true;
  }
}

std::vector<TAddItem> TFolderAdd::NotYetListed(const std::vector<TAddItem>& Items,
                                              const std::vector<std::string>& Listed) {
  std::set<std::string> keys;
  for (const std::string& path : Listed) keys.insert(ListedKey(path));
  std::vector<TAddItem> fresh;
  for (const TAddItem& item : Items) {
    if (keys.insert(ListedKey(item.Path)).second)
      fresh.push_back(item);
    else
      AlreadyListed(item.Path);
  }
  return fresh;
}

void TFolderAdd::Refuse(const std::string& Path, const std::string& Reason) {
  // The window's messages name the file themselves.
  FLogLines.push_back(Reason.find(Path) != std::string::npos ? Reason : Path + ": " + Reason);
  ++FRefused;
}

void TFolderAdd::AlreadyListed(const std::string& Path) {
  FLogLines.push_back(Path + ": already in the list");
  ++FAlreadyListed;
}

std::string TFolderAdd::Summary() const {
  const std::string head = FCancelled ? "Cancelled: " : "";
  if (FAdded == 0 && FLogLines.empty() && FFolders.size() == 1 && !FCancelled)
    return "No video files in " + FFolders.front() + ".";
  std::string text = head + Files(FAdded) + " added";
  if (FAlreadyListed > 0) text += ", " + std::to_string(FAlreadyListed) + " already in the list";
  if (FLeftOut > 0) text += ", " + std::to_string(FLeftOut) + (FLeftOut == 1 ? " folder" : " folders") + " left out";
  if (FRefused > 0) text += ", " + std::to_string(FRefused) + " refused";
  return text + (FLogLines.empty() ? "." : ": see the Log.");
}
