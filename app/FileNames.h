// File names as the system gives them: bytes, which need not be valid UTF-8
// (names copied from old Windows disks and cameras are often Latin-1). The
// window keeps each path as those bytes from the program's arguments, a drop
// or a dropped folder down to the conversion, and shows it with replacement
// characters only. User-interface thread.
#pragma once

#include <QString>
#include <string>
#include <vector>

class QUrl;

// A program argument: a local path as it is, or a file: URL (the desktop's
// "%U"), percent-decoded to its bytes. Empty for an empty argument.
std::string PathOfArgument(const std::string& Argument);
// A local file URL's path as bytes ("file:///a/%FF.avi" gives "/a/\xFF.avi");
// empty when the URL is not a local file.
std::string PathOfUrl(const QUrl& Url);
bool IsFolder(const std::string& Path);
bool IsFile(const std::string& Path);
// The text shown for a path: invalid UTF-8 as replacement characters.
inline QString ShownPath(const std::string& Path) { return QString::fromStdString(Path); }
