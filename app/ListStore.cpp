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

namespace {

// One row line; false, with Error, when it is not a whole row.
bool ParseRow(const std::string& Line, const std::string& Where, TStoredRow& Row, std::string& Error) {
  const std::vector<std::string> fields = Split(Line, '\t');
  // The tree folder came later: a row without it has none.
  if (fields.size() != 6 && fields.size() != 7) {
    Error = Where + " has " + std::to_string(fields.size()) + " fields instead of 7";
    return false;
  }
  bool known = false;
  for (const TStateWord& w : kStateWords)
    if (fields[0] == w.Word) {
      Row.State = w.State;
      known = true;
    }
  if (!known) {
    Error = Where + " has an unknown status";
    return false;
  }
  std::string* out[] = {&Row.Path, &Row.Base, &Row.Duration, &Row.Type, &Row.OutputName, &Row.TreeFolder};
  for (size_t f = 0; f + 1 < fields.size(); ++f)
    if (!Unescape(fields[f + 1], *out[f])) {
      Error = Where + " has a broken %-escape";
      return false;
    }
  if (Row.Path.empty()) {
    Error = Where + " names no file";
    return false;
  }
  return true;
}

}  // namespace

bool ParseList(const std::string& Text, std::vector<TStoredRow>& Rows, std::string& Error, TListDamage* Damage) {
  Rows.clear();
  Error.clear();
  TListDamage damage;
  std::vector<std::string> lines = Split(Text, '\n');
  // A whole text ends with a line break: the part after it is empty.
  const bool lastLineWhole = lines.back().empty();
  if (lastLineWhole) lines.pop_back();
  const bool header = !lines.empty() && lines.front() == kHeader;
  if (!header && !lines.empty() && lines.front().starts_with("Vidlomat list ")) {
    Error = "it is a list of another version of this program";
    if (Damage) *Damage = damage;
    return false;
  }
  // A cut through the end line itself loses no row.
  if (!lastLineWhole && lines.size() >= 2 && std::string("end\t").starts_with(lines.back().substr(0, 4)))
    lines.pop_back();
  // The end line, when the text still has it.
  long declared = -1;
  if (lastLineWhole && lines.size() >= 2 && lines.back().starts_with("end\t")) {
    const std::string count = lines.back().substr(4);
    if (!count.empty() && count.size() < 10 && count.find_first_not_of("0123456789") == std::string::npos)
      declared = std::stol(count);
    lines.pop_back();
  }
  // Every line between that reads as a whole row is kept, whatever happened
  // to the others.
  for (size_t i = header ? 1 : 0; i < lines.size(); ++i) {
    TStoredRow row;
    std::string why;
    if (ParseRow(lines[i], "line " + std::to_string(i + 1), row, why)) {
      Rows.push_back(std::move(row));
    } else {
      ++damage.BadLines;
      if (Error.empty()) Error = why;
    }
  }
  if (!header && Rows.empty()) {
    // Not a damaged list: another file, or bytes of a lost write.
    Error = "it is not a list of this program";
    damage.BadLines = 0;
  } else if (!header && Error.empty()) {
    Error = "its first line is damaged";
  } else if (declared < 0 && Error.empty()) {
    Error = "the list is cut short";
  } else if (declared >= 0 && static_cast<size_t>(declared) != Rows.size() + damage.BadLines && Error.empty()) {
    Error = "it holds " + std::to_string(Rows.size()) + " rows, not the " + std::to_string(declared) +
            " it was written with";
  }
  if (declared >= 0 && static_cast<size_t>(declared) > Rows.size()) damage.Lost = static_cast<int>(declared - static_cast<long>(Rows.size()));
  else if (declared >= 0) damage.Lost = damage.BadLines;
  if (Damage) *Damage = damage;
  return Error.empty();
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
  ++FWrites;
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
  TListDamage damage;
  const bool whole = error.empty() && ParseList(text, loaded.Rows, error, &damage);
  for (TStoredRow& row : loaded.Rows) {
    if (row.State == TRowState::Converting) {
      row.State = TRowState::Waiting;
      ++loaded.Interrupted;
    }
    if (row.State != TRowState::Completed && !Exists(row.Path)) row.State = TRowState::NotFound;
  }
  if (whole) {
    FLastText = std::move(text);
    FKnown = true;
    return loaded;
  }
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
  const std::string where = kept ? "The file was kept as " + aside + "."
                                 : "The file was left where it is (" + std::string(std::strerror(errno)) + ").";
  if (loaded.Rows.empty()) {
    loaded.Note = "The saved list " + FPath + " could not be read (" + error + "); the list starts empty. " + where;
  } else {
    const size_t rows = loaded.Rows.size();
    const std::string lost = damage.Lost >= 0 ? std::to_string(damage.Lost) + (damage.Lost == 1 ? " row" : " rows") +
                                                    " lost"
                             : damage.BadLines > 0 ? "at least " + std::to_string(damage.BadLines) +
                                                         (damage.BadLines == 1 ? " row" : " rows") + " lost"
                                                   : "any rows after them lost";
    loaded.Note = "The saved list " + FPath + " was damaged (" + error + "): " + std::to_string(rows) +
                  (rows == 1 ? " row" : " rows") + " read back, " + lost + ". " + where;
  }
  FKnown = false;
  return loaded;
}
