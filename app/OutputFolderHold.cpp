#include "OutputFolderHold.h"

#include <sys/stat.h>

#include <filesystem>

#include "BatchSettings.h"

bool TOutputFolderHold::Present(const std::string& Folder) {
  struct stat st {};
  return stat(Folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool TOutputFolderHold::Hold(const std::string& Folder) {
  if (Holding()) return false;
  FFolder = Folder;
  return true;
}

bool TOutputFolderHold::BringBack() {
  if (!Holding() || Present(FFolder)) {
    Clear();
    return true;
  }
  std::string folder = FFolder;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const std::filesystem::path parent = std::filesystem::path(folder).parent_path();
  // Made again only inside a folder that is there: a folder whose whole
  // tree went (an unplugged drive's) is not rebuilt on the system disk.
  if (!Present(parent.string()) || !OutputFolderProblem(folder).empty()) return false;
  std::error_code error;
  std::filesystem::create_directory(folder, error);
  if (!Present(folder)) return false;
  Clear();
  return true;
}

std::string TOutputFolderHold::GoneText(const std::string& Folder) {
  return "The output folder " + Folder +
         " is gone (a drive unplugged, or the folder removed). The batch is paused: bring the folder back, then "
         "press Resume; when the folder it was in is there, Resume makes it again.";
}
