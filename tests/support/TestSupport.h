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
