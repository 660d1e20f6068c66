#include "TestSupport.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "MediaLibraries.h"

std::string LibAVFolder() { return VIDLOMAT_TEST_LIBAV_DIR; }

TTempDir::TTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vidlomat-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  FPath = pattern;
}

TTempDir::~TTempDir() {
  std::error_code ec;
  std::filesystem::remove_all(FPath, ec);
}

void WriteFile(const std::string& Path, const std::string& Bytes) {
  std::ofstream out(Path, std::ios::binary | std::ios::trunc);
  out << Bytes;
}

std::string ReadFile(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> FolderEntries(const std::string& Folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(Folder, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void EnsureLibrariesLoaded() {
  if (!FFmpegLibrariesLoaded()) {
    ASSERT_TRUE(LoadFFmpegLibraries(LibAVFolder(), true)) << FFmpegLibrariesError();
    // Keep the test output readable: only the libraries' errors reach stderr.
    SetLibraryLogLevel(AV_LOG_ERROR);
  }
}

TEnvironmentScope::TEnvironmentScope(const std::vector<std::pair<std::string, const char*>>& Values) {
  for (const auto& [name, value] : Values) {
    const char* old = getenv(name.c_str());
    FSaved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value)
      setenv(name.c_str(), value, 1);
    else
      unsetenv(name.c_str());
  }
}

TEnvironmentScope::~TEnvironmentScope() {
  for (auto it = FSaved.rbegin(); it != FSaved.rend(); ++it) {
    if (it->second)
      setenv(it->first.c_str(), it->second->c_str(), 1);
    else
      unsetenv(it->first.c_str());
  }
}
