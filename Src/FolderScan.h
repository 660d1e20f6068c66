// Finding the video files of a folder tree: what Add Folder, a dropped folder
// and a folder argument of vidlomat-cli add to a batch.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// The extensions of the Add dialog's "All supported Media Format" entry, in
// lower case without the dot ("avi", "divx", ...).
const std::vector<std::string>& VideoExtensions();

// Name order as people read it: runs of digits compare by their value
// ("clip2" before "clip10"), letters without regard to ASCII case; names that
// still tie compare byte by byte, so the order is total.
bool NaturalLess(const std::string& A, const std::string& B);

struct TScannedFile {
  std::string Path;      // Root + "/" + Folder + "/" + name
  std::string Folder;    // its folder relative to the root ("" for the root itself, "2019/Summer")
};

struct TScanRefusal {
  std::string Path;
  std::string Reason;    // the system's text ("Permission denied")
};

struct TFolderScanResult {
  std::vector<TScannedFile> Files;
  std::vector<TScanRefusal> Refused;
  // Folders not searched, with why: a linked folder outside the tree, a
  // folder reached a second time (a bind mount of a folder above it).
  std::vector<TScanRefusal> LeftOut;
  bool Cancelled = false;
  bool RootUnreadable = false;  // the root itself could not be read (its refusal is in Refused)
};

// Walks a folder tree. Folder by folder: the files of a folder in natural
// name order, then each of its subfolders in the same order, depth first.
// Only files with one of the extensions; hidden files and folders (names
// starting with ".") are left out. Every name that leads to a file is a file
// of its own: hard links and links to files are taken, wherever they point.
// A linked folder is not followed: one inside the tree is searched at its own
// place, one outside it (a link to a parent, to another disk) would pull in
// files the user did not add, and is named in LeftOut. A folder reached a
// second time (found by device and inode) is not searched again and is named
// in LeftOut too. A file or folder that cannot be read is refused with the
// reason. Used by one thread at a time.
class TFolderScan {
public:
  explicit TFolderScan(std::vector<std::string> Extensions = VideoExtensions());

  // Called after each folder with the number of files found so far and the
  // folder just read; returning false cancels the scan (the files found so
  // far are kept in the result).
  std::function<bool(size_t FilesFound, const std::string& Folder)> OnProgress;

  TFolderScanResult Scan(const std::string& Root);

private:
  bool Wanted(const std::string& Name) const;
  std::vector<std::string> FExtensions;
};
