#include "FolderScan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <map>
#include <utility>

namespace {

char LowerAscii(char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C; }
bool IsDigit(char C) { return C >= '0' && C <= '9'; }

// -1, 0 or 1: A against B in natural order, ties left to the caller.
int NaturalCompare(const std::string& A, const std::string& B) {
  size_t i = 0, j = 0;
  while (i < A.size() && j < B.size()) {
    if (IsDigit(A[i]) && IsDigit(B[j])) {
      // Compare the values of the two digit runs without converting them
      // (a run may be longer than any integer): leading zeros off, then the
      // longer run is larger, then digit by digit.
      size_t ei = i, ej = j;
      while (ei < A.size() && IsDigit(A[ei])) ++ei;
      while (ej < B.size() && IsDigit(B[ej])) ++ej;
      size_t si = i, sj = j;
      while (si + 1 < ei && A[si] == '0') ++si;
      while (sj + 1 < ej && B[sj] == '0') ++sj;
      if (ei - si != ej - sj) return ei - si < ej - sj ? -1 : 1;
      for (; si < ei; ++si, ++sj)
        if (A[si] != B[sj]) return A[si] < B[sj] ? -1 : 1;
      // Equal values: fewer leading zeros first ("clip2" before "clip02").
      if (ei - i != ej - j) return ei - i < ej - j ? -1 : 1;
      i = ei;
      j = ej;
      continue;
    }
    const unsigned char a = static_cast<unsigned char>(LowerAscii(A[i]));
    const unsigned char b = static_cast<unsigned char>(LowerAscii(B[j]));
    if (a != b) return a < b ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < A.size()) return 1;
  if (j < B.size()) return -1;
  return 0;
}

std::string Join(const std::string& Folder, const std::string& Name) {
  return Folder.empty() ? Name : Folder + "/" + Name;
}

std::string Child(const std::string& Folder, const std::string& Name) {
  return Folder == "/" ? "/" + Name : Folder + "/" + Name;
}

using TNodeId = std::pair<dev_t, ino_t>;

struct TWalk {
  const std::function<bool(const std::string&)>* Wanted;
  const std::function<bool(size_t, const std::string&)>* Progress;
  TFolderScanResult* Result;
  std::string RealRoot;                        // the root with every link resolved
  std::map<TNodeId, std::string> SeenFolders;  // each folder searched, and where

  void Refuse(const std::string& Path, int Error) { Result->Refused.push_back({Path, std::strerror(Error)}); }

  bool InsideRoot(const std::string& Real) const {
    return Real == RealRoot || Real.starts_with(RealRoot == "/" ? RealRoot : RealRoot + "/");
  }

  // A link to a folder: not followed. One outside the tree is named.
  void LinkedFolder(const std::string& Path) {
    char* real = realpath(Path.c_str(), nullptr);
    if (!real) return;  // gone meanwhile
    const std::string target = real;
    std::free(real);
    if (!InsideRoot(target))
      Result->LeftOut.push_back({Path, "a link to " + target + ", outside the folder added: not followed"});
  }

  // Reads one folder (already marked seen) and descends; false when cancelled.
  bool Folder(const std::string& Path, const std::string& Relative) {
    DIR* dir = opendir(Path.c_str());
    if (!dir) {
      Refuse(Path, errno);
      return true;
    }
    std::vector<std::string> files, folders;
    const int fd = dirfd(dir);
    errno = 0;
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.empty() || name[0] == '.') continue;  // ".", "..", hidden
      const bool plainFile = entry->d_type == DT_REG;
      if (plainFile && !(*Wanted)(name)) continue;  // no need to look closer
      bool link = entry->d_type == DT_LNK;
      if (entry->d_type == DT_UNKNOWN) {
        struct stat own {};
        link = fstatat(fd, name.c_str(), &own, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(own.st_mode);
      }
      struct stat st {};
      if (fstatat(fd, name.c_str(), &st, 0) != 0) {
        // A broken link, or a name gone meanwhile: only worth a word when it
        // looked like a video.
        if ((*Wanted)(name)) Refuse(Child(Path, name), errno);
        continue;
      }
      if (S_ISDIR(st.st_mode)) {
        if (link) {
          LinkedFolder(Child(Path, name));
          continue;
        }
        const auto [seen, added] = SeenFolders.insert({{st.st_dev, st.st_ino}, Child(Path, name)});
        if (added)
          folders.push_back(name);
        else
          Result->LeftOut.push_back({Child(Path, name), "the same folder as " + seen->second + ": not searched again"});
      } else if (S_ISREG(st.st_mode) && (*Wanted)(name)) {
        if (faccessat(fd, name.c_str(), R_OK, 0) != 0) {
          Refuse(Child(Path, name), errno);
          continue;
        }
        files.push_back(name);
      }
    }
    closedir(dir);
    std::sort(files.begin(), files.end(), NaturalLess);
    std::sort(folders.begin(), folders.end(), NaturalLess);
    for (const std::string& name : files) Result->Files.push_back({Child(Path, name), Relative});
    if (*Progress && !(*Progress)(Result->Files.size(), Path)) return false;
    for (const std::string& name : folders)
      if (!Folder(Child(Path, name), Join(Relative, name))) return false;
    return true;
  }
};

}  // namespace

const std::vector<std::string>& VideoExtensions() {
  static const std::vector<std::string> extensions = {
      "avi", "divx", "div", "xvid", "mpeg", "mpg", "wmv", "asf", "rm",  "rmvb", "dat", "mov", "swf",
      "mp4", "m4v",  "mkv", "webm", "3gp",  "3g2", "ts",  "mts", "m2ts", "flv", "ogv", "vob", "mxf"};
  return extensions;
}

bool NaturalLess(const std::string& A, const std::string& B) {
  const int c = NaturalCompare(A, B);
  return c != 0 ? c < 0 : A < B;
}

TFolderScan::TFolderScan(std::vector<std::string> Extensions) : FExtensions(std::move(Extensions)) {}

bool TFolderScan::Wanted(const std::string& Name) const {
  const size_t dot = Name.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return false;
  std::string extension = Name.substr(dot + 1);
  for (char& c : extension) c = LowerAscii(c);
  return std::find(FExtensions.begin(), FExtensions.end(), extension) != FExtensions.end();
}

TFolderScanResult TFolderScan::Scan(const std::string& Root) {
  TFolderScanResult result;
  std::string root = Root;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  const std::function<bool(const std::string&)> wanted = [this](const std::string& Name) { return Wanted(Name); };
  TWalk walk{&wanted, &OnProgress, &result, {}, {}};
  struct stat st {};
  if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    walk.Refuse(root, S_ISDIR(st.st_mode) || st.st_mode == 0 ? errno : ENOTDIR);
    result.RootUnreadable = true;
    return result;
  }
  walk.SeenFolders.insert({{st.st_dev, st.st_ino}, root});
  if (char* real = realpath(root.c_str(), nullptr)) {
    walk.RealRoot = real;
    std::free(real);
  }
  result.Cancelled = !walk.Folder(root, "");
  // Folder refuses a folder it cannot open first of all.
  result.RootUnreadable = !result.Refused.empty() && result.Refused.front().Path == root;
  return result;
}
