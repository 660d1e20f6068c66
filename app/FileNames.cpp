#include "FileNames.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QUrl>
#include <algorithm>

namespace {

std::string Lower(std::string Text) {
  for (char& c : Text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return Text;
}

std::string PercentDecoded(const std::string& Text) {
  return QByteArray::fromPercentEncoding(QByteArray::fromStdString(Text)).toStdString();
}

}  // namespace

std::string PathOfArgument(const std::string& Argument) {
  static const std::string scheme = "file:";
  if (Argument.compare(0, scheme.size(), scheme) != 0) return Argument;
  std::string rest = Argument.substr(scheme.size());
  // "file:///path" or "file://localhost/path": the path starts after the host.
  if (rest.compare(0, 2, "//") == 0) {
    const size_t slash = rest.find('/', 2);
    rest = slash == std::string::npos ? std::string() : rest.substr(slash);
  }
  return PercentDecoded(rest);
}

std::string PathOfUrl(const QUrl& Url) {
  if (!Url.isLocalFile()) return {};
  return PercentDecoded(Url.path(QUrl::FullyEncoded).toStdString());
}

bool IsFolder(const std::string& Path) {
  struct stat st {};
  return stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& Path) {
  struct stat st {};
  return stat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::vector<std::string> FilesInFolder(const std::string& Folder, const std::vector<std::string>& Extensions) {
  std::vector<std::string> names;
  DIR* dir = opendir(Folder.c_str());
  if (!dir) return names;
  const std::string prefix = Folder.empty() || Folder.back() == '/' ? Folder : Folder + "/";
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || dot == 0) continue;
    const std::string extension = Lower(name.substr(dot + 1));
    if (std::find(Extensions.begin(), Extensions.end(), extension) == Extensions.end()) continue;
    const std::string path = prefix + name;
    if (IsFile(path) && access(path.c_str(), R_OK) == 0) names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end(), [](const std::string& A, const std::string& B) {
    const std::string a = Lower(A), b = Lower(B);
    return a != b ? a < b : A < B;
  });
  for (std::string& name : names) name = prefix + name;
  return names;
}
