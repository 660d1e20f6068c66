#include "FileNames.h"

#include <sys/stat.h>

#include <QByteArray>
#include <QUrl>

namespace {

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
