#include "TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

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

namespace {

// Sets or clears the immutable flag of Path; false when the file system or
// the process cannot.
bool SetImmutable(const std::string& Path, bool On) {
  const int fd = open(Path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = On ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  close(fd);
  return ok;
}

}  // namespace

TReadOnlyFolder::TReadOnlyFolder(const std::string& Folder) : FFolder(Folder) {
  if (geteuid() != 0) {
    FOk = chmod(Folder.c_str(), 0555) == 0;
    return;
  }
  FImmutable = FOk = SetImmutable(Folder, true);
}

TReadOnlyFolder::~TReadOnlyFolder() {
  if (FImmutable)
    SetImmutable(FFolder, false);
  else if (FOk)
    chmod(FFolder.c_str(), 0755);
}

TUnreadableFile::TUnreadableFile(const std::string& File) : FFile(File) {
  chmod(File.c_str(), 0);
  if (geteuid() == 0) {
    FWasRoot = true;
    // Only the effective user changes: root is taken back at the end.
    if (seteuid(65534) != 0) ADD_FAILURE() << "cannot act as nobody";
  }
}

TUnreadableFile::~TUnreadableFile() {
  if (FWasRoot && seteuid(0) != 0) std::abort();
  chmod(FFile.c_str(), 0644);
}
