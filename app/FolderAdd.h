// What Add Folder, a folder dropped on the list and a folder given to the
// program add: each folder's video files, through its whole tree
// (TFolderScan), with the folder each one was found in relative to the folder
// added, and the count of files added and refused with the reasons for the
// Log. No widgets; user-interface thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// A file to add, and its folder relative to the folder it was found under
// ("" for a file added on its own or found in the added folder itself).
struct TAddItem {
  std::string Path;
  std::string TreeFolder;
};

class TFolderAdd {
public:
  // After each folder read: the files found so far in this Expand and the
  // folder read; false cancels (the files found so far are kept).
  std::function<bool(size_t FilesFound, const std::string& Folder)> OnProgress;

  // Turns Paths into the files to add: a folder gives the video files of its
  // tree (what cannot be read in it is refused with the system's reason), any
  // other path stays as it is.
  void Expand(const std::vector<std::string>& Paths);
  const std::vector<TAddItem>& Items() const { return FItems; }
  // Whether Expand met a folder: the add then ends with Summary() instead of
  // a box for each refused file.
  bool HadFolder() const { return FHadFolder; }
  bool Cancelled() const { return FCancelled; }
  // The user ended the adding of the found files part way.
  void Cancel() { FCancelled = true; }

  // A file found that was listed, and one that was not (Reason in the
  // window's words).
  void Added() { ++FAdded; }
  void Refuse(const std::string& Path, const std::string& Reason);
  // A file left out because the list holds it already (or this add had it
  // before, under the same path).
  void AlreadyListed(const std::string& Path);
  // Items without the files Listed holds already and without a second one
  // of a file this add has; each one left out is counted (AlreadyListed).
  // A file is the same when its path is, once made absolute and without "."
  // and ".." parts: two names of one file (hard links, a link) are two
  // files, as the folder search takes them.
  std::vector<TAddItem> NotYetListed(const std::vector<TAddItem>& Items, const std::vector<std::string>& Listed);
  int AddedCount() const { return FAdded; }
  int RefusedCount() const { return FRefused; }
  int AlreadyListedCount() const { return FAlreadyListed; }
  // The folders the search did not go into (TFolderScanResult::LeftOut).
  int LeftOutCount() const { return FLeftOut; }
  // One line for each file refused or left out and each folder left out, for
  // the Log: "/v/x.avi: Permission denied", "/v/a.avi: already in the list".
  const std::vector<std::string>& LogLines() const { return FLogLines; }
  // "12 files added.", "12 files added, 3 refused: see the Log.",
  // "2 files added, 2 already in the list, 1 folder left out, 1 refused: see
  // the Log.", "No video files in /v." (nothing found in a single folder),
  // each after "Cancelled: " when the user cancelled.
  std::string Summary() const;

private:
  std::vector<TAddItem> FItems;
  std::vector<std::string> FLogLines;
  std::vector<std::string> FFolders;  // the folders expanded
  int FAdded = 0;
  int FRefused = 0;
  int FAlreadyListed = 0;
  int FLeftOut = 0;
  bool FHadFolder = false;
  bool FCancelled = false;
};
