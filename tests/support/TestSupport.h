// Helpers shared by the test programs.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

// The LibAV/ folder the build made next to the executables.
std::string LibAVFolder();

// A fresh, empty folder under the system's temporary folder, removed again by
// the destructor together with what it holds.
class TTempDir {
public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::string& Path() const { return FPath; }
  std::string operator/(const std::string& Name) const { return FPath + "/" + Name; }

private:
  std::string FPath;
};

// Writes Bytes into a file (creating or truncating it).
void WriteFile(const std::string& Path, const std::string& Bytes);
// The whole content of a file ("" when it cannot be read).
std::string ReadFile(const std::string& Path);
// The names in a folder, sorted (hidden ones too; empty when it is missing).
std::vector<std::string> FolderEntries(const std::string& Folder);

// Loads the libraries from LibAV/ once for a test program that needs them.
void EnsureLibrariesLoaded();

// Sets environment variables (nullptr: unset) for its lifetime and restores
// their earlier values at its end. Only for tests that start no thread
// reading the environment meanwhile.
class TEnvironmentScope {
public:
  explicit TEnvironmentScope(const std::vector<std::pair<std::string, const char*>>& Values);
  ~TEnvironmentScope();
  TEnvironmentScope(const TEnvironmentScope&) = delete;
  TEnvironmentScope& operator=(const TEnvironmentScope&) = delete;

private:
  std::vector<std::pair<std::string, std::optional<std::string>>> FSaved;
};

// Makes Folder refuse new files, renames and removals while it lives: its
// write permission is taken away, or for root, whom permissions do not stop,
// the file system's immutable flag is set. Ok() tells whether either worked
// (a file system without the flag, a user without the right to set it).
class TReadOnlyFolder {
public:
  explicit TReadOnlyFolder(const std::string& Folder);
  ~TReadOnlyFolder();
  TReadOnlyFolder(const TReadOnlyFolder&) = delete;
  TReadOnlyFolder& operator=(const TReadOnlyFolder&) = delete;
  bool Ok() const { return FOk; }

private:
  std::string FFolder;
  bool FOk = false;
  bool FImmutable = false;
};

// Makes File unreadable while it lives: its permissions are taken away, and a
// process of root, which could still read it, acts as the user nobody
// meanwhile (every thread of it).
class TUnreadableFile {
public:
  explicit TUnreadableFile(const std::string& File);
  ~TUnreadableFile();
  TUnreadableFile(const TUnreadableFile&) = delete;
  TUnreadableFile& operator=(const TUnreadableFile&) = delete;

private:
  std::string FFile;
  bool FWasRoot = false;
};
