#include "ListStore.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kHeader = "Vidlomat list 1";

struct TStateWord {
  TRowState State;
  const char* Word;
};
const TStateWord kStateWords[] = {
    {TRowState::Listed, "listed"},         {TRowState::Waiting, "waiting"}, {TRowState::Converting, "converting"},
    {TRowState::Completed, "completed"},   {TRowState::Stopped, "stopped"}, {TRowState::Failed, "failed"},
    {TRowState::Skipped, "skipped"},       {TRowState::NotFound, "not-found"},
    {TRowState::AlreadyConverted, "already-converted"},
};

void AppendEscaped(std::string& Out, const std::string& Field) {
  static const char hex[] = "0123456789ABCDEF";
  for (unsigned char c : Field) {
    if (c < 32 || c == '%' || c == 127) {
      Out += '%';
      Out += hex[c >> 4];
      Out += hex[c & 15];
    } else {
      Out += static_cast<char>(c);
    }
  }
}

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

bool Unescape(const std::string& Field, std::string& Out) {
  Out.clear();
  for (size_t i = 0; i < Field.size(); ++i) {
    if (Field[i] != '%') {
      Out += Field[i];
      continue;
    }
    if (i + 2 >= Field.size()) return false;
    const int hi = HexValue(Field[i + 1]), lo = HexValue(Field[i + 2]);
    if (hi < 0 || lo < 0) return false;
    Out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

std::vector<std::string> Split(const std::string& Text, char Separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = Text.find(Separator, start);
    parts.push_back(Text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

bool Exists(const std::string& Path) {
  struct stat st;
  return ::stat(Path.c_str(), &st) == 0;
}

// Makes Folder and its missing parents.
bool MakeFolders(const std::string& Folder) {
  if (Folder.empty() || Exists(Folder)) return true;
  const size_t slash = Folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(Folder.substr(0, slash))) return false;
  return ::mkdir(Folder.c_str(), 0700) == 0 || errno == EEXIST;
}

std::string FolderOf(const std::string& Path) {
  const size_t slash = Path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : Path.substr(0, slash);
}

std::string SystemError(const std::string& What, int Error) { return What + ": " + std::strerror(Error); }

// Writes Text to Path and flushes it to the disk.
bool WriteFlushed(const std::string& Path, const std::string& Text, std::string& Error) {
  const int fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    Error = SystemError(Path, errno);
    return false;
  }
  size_t written = 0;
  while (written < Text.size()) {
    const ssize_t n = ::write(fd, Text.data() + written, Text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      Error = SystemError(Path, errno);
      ::close(fd);
      return false;
    }
    written += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) {
    Error = SystemError(Path, errno);
    ::close(fd);
    return false;
  }
  if (::close(fd) != 0) {
    Error = SystemError(Path, errno);
    return false;
  }
  return true;
}

}  // namespace

std::string FormatList(const std::vector<TStoredRow>& Rows) {
  std::string text = std::string(kHeader) + "\n";
  for (const TStoredRow& row : Rows) {
    const char* word = "listed";
    for (const TStateWord& w : kStateWords)
      if (w.State == row.State) word = w.Word;
    text += word;
    for (const std::string* field : {&row.Path, &row.Base, &row.Duration, &row.Type, &row.OutputName, &row.TreeFolder}) {
      text += '\t';
      AppendEscaped(text, *field);
    }
    text += '\n';
  }
  return text + "end\t" + std::to_string(Rows.size()) + "\n";
}

bool ParseList(const std::string& Text, std::vector<TStoredRow>& Rows, std::string& Error) {
  Rows.clear();
  std::vector<std::string> lines = Split(Text, '\n');
  // The text ends with a line break: the part after it is empty.
  if (lines.size() < 3 || !lines.back().empty()) {
    Error = "the list is cut short";
    return false;
  }
  lines.pop_back();
  if (lines.front() != kHeader) {
    Error = "it is not a list of this program";
    return false;
  }
  const std::string& last = lines.back();
  if (last != "end\t" + std::to_string(lines.size() - 2)) {
    Error = "the list is cut short";
    return false;
  }
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    const std::vector<std::string> fields = Split(lines[i], '\t');
    const std::string where = "line " + std::to_string(i + 1);
    // The tree folder came later: a row without it has none.
    if (fields.size() != 6 && fields.size() != 7) {
      Error = where + " has " + std::to_string(fields.size()) + " fields instead of 7";
      return false;
    }
    TStoredRow row;
    bool known = false;
    for (const TStateWord& w : kStateWords)
      if (fields[0] == w.Word) {
        row.State = w.State;
        known = true;
      }
    if (!known) {
      Error = where + " has an unknown status";
      return false;
    }
    std::string* out[] = {&row.Path, &row.Base, &row.Duration, &row.Type, &row.OutputName, &row.TreeFolder};
    for (size_t f = 0; f + 1 < fields.size(); ++f)
      if (!Unescape(fields[f + 1], *out[f])) {
        Error = where + " has a broken %-escape";
        return false;
      }
    if (row.Path.empty()) {
      Error = where + " names no file";
      return false;
    }
    Rows.push_back(std::move(row));
  }
  return true;
}

TListStore::TListStore(std::string Path) : FPath(std::move(Path)) {}

std::string TListStore::DefaultPath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  std::string base;
  if (state && state[0] == '/') {
    base = state;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home && home[0] ? home : ".") + "/.local/state";
  }
  if (base.back() != '/') base += '/';
  return base + "Vidlomat/list";
}

bool TListStore::Save(const std::vector<TStoredRow>& Rows, std::string& Error) {
  std::string text = FormatList(Rows);
  if (FKnown && text == FLastText) return true;
  const std::string folder = FolderOf(FPath);
  if (!MakeFolders(folder)) {
    Error = SystemError(folder, errno);
    return false;
  }
  const std::string temporary = FPath + ".new-" + std::to_string(::getpid());
  if (!WriteFlushed(temporary, text, Error)) {
    ::unlink(temporary.c_str());
    return false;
  }
  if (::rename(temporary.c_str(), FPath.c_str()) != 0) {
    Error = SystemError(FPath, errno);
    ::unlink(temporary.c_str());
    return false;
  }
  // The rename itself reaches the disk with the folder.
  if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  FLastText = std::move(text);
  FKnown = true;
  return true;
}

TListStore::TLoaded TListStore::Load() {
  TLoaded loaded;
  std::string text, error;
  FILE* file = std::fopen(FPath.c_str(), "rbe");
  if (!file && errno == ENOENT) return loaded;
  if (file) {
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    if (std::ferror(file)) error = SystemError("reading", errno);
    std::fclose(file);
  } else {
    error = std::strerror(errno);
  }
  if (error.empty() && ParseList(text, loaded.Rows, error)) {
    for (TStoredRow& row : loaded.Rows) {
      if (row.State == TRowState::Converting) row.State = TRowState::Waiting;
      if (row.State != TRowState::Completed && !Exists(row.Path)) row.State = TRowState::NotFound;
    }
    FLastText = std::move(text);
    FKnown = true;
    return loaded;
  }
  loaded.Rows.clear();
  // Kept aside under a name of its own, so that the next save does not write
  // over what the user may still want.
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  std::string aside = FPath + ".damaged-" + stamp;
  for (int n = 2; Exists(aside); ++n) aside = FPath + ".damaged-" + stamp + "-" + std::to_string(n);
  const bool kept = ::rename(FPath.c_str(), aside.c_str()) == 0;
  loaded.Note = "The saved list " + FPath + " could not be read (" + error + "); the list starts empty. " +
                (kept ? "The file was kept as " + aside + "." : "The file was left where it is (" +
                                                                    std::string(std::strerror(errno)) + ").");
  FKnown = false;
  return loaded;
}
