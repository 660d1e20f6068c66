// Outputs written under a temporary name and renamed into place on success, and
// interruptible reading of pipes and FIFOs.
#include "EngineIO.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "FFmpeg.h"

namespace {

constexpr int kIOBufferSize = 65536;

// The registry of temporary outputs still being written in this process.
std::mutex& RegistryLock() {
  static std::mutex lock;
  return lock;
}
std::set<std::string>& Registry() {
  static std::set<std::string> names;  // guarded by RegistryLock()
  return names;
}
void Register(const std::string& Name) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  Registry().insert(Name);
}
void Unregister(const std::string& Name) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  Registry().erase(Name);
}

// The local path of FileName ("file:" taken off), or false for a URL of
// another protocol ("pipe:", "http://", ...).
bool LocalPath(const std::string& FileName, std::string& Path) {
  if (FileName.rfind("file:", 0) == 0) {
    Path = FileName.substr(5);
    return true;
  }
  const size_t colon = FileName.find(':');
  if (colon != std::string::npos && colon >= 2 && std::isalpha(static_cast<unsigned char>(FileName[0]))) {
    bool scheme = true;
    for (size_t i = 0; i < colon && scheme; ++i) {
      const unsigned char c = static_cast<unsigned char>(FileName[i]);
      scheme = std::isalnum(c) || c == '+' || c == '-' || c == '.';
    }
    if (scheme) return false;
  }
  Path = FileName;
  return true;
}

std::string FolderOf(const std::string& Path) {
  const size_t slash = Path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return Path.substr(0, slash);
}

std::string NameOf(const std::string& Path) {
  const size_t slash = Path.find_last_of('/');
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

// How an output name is written: straight through the libraries (a URL of
// another protocol, a device, a FIFO), not at all (a folder, or a file the
// user may not write, which is not replaced either), or by replacing Path,
// the local file it names, through a temporary file in its folder. A link is
// followed: the result replaces the file it points to, and the link stays.
// St holds the file's state when Existing.
enum class TWriteWay { Direct, Refused, Replace };

TWriteWay WriteWayOf(const std::string& FileName, std::string& Path, struct stat& St, bool& Existing) {
  Existing = false;
  if (!LocalPath(FileName, Path) || Path.empty()) return TWriteWay::Direct;
  if (lstat(Path.c_str(), &St) == 0 && S_ISLNK(St.st_mode)) {
    if (char* real = realpath(Path.c_str(), nullptr)) {
      Path = real;
      std::free(real);
    }
  }
  if (stat(Path.c_str(), &St) != 0) return TWriteWay::Replace;
  if (S_ISDIR(St.st_mode)) return TWriteWay::Refused;
  if (!S_ISREG(St.st_mode)) return TWriteWay::Direct;
  if (access(Path.c_str(), W_OK) != 0) return TWriteWay::Refused;
  Existing = true;
  return TWriteWay::Replace;
}

// The leading bytes of Name, at most Limit, cut at a UTF-8 character boundary.
std::string ShortName(const std::string& Name, size_t Limit) {
  if (Name.size() <= Limit) return Name;
  size_t n = Limit;
  while (n > 0 && (static_cast<unsigned char>(Name[n]) & 0xC0) == 0x80) --n;
  return Name.substr(0, n);
}

// Whether Path still names the file open as Fd.
bool SameFile(int Fd, const std::string& Path) {
  struct stat a {}, b {};
  return fstat(Fd, &a) == 0 && lstat(Path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string Reason(int Errno) { return std::strerror(Errno); }

}  // namespace

// ---------------------------------------------------------------------------
// Outputs

TOutputTarget::~TOutputTarget() { Release(true); }

bool TOutputTarget::IsTemporaryName(const std::string& Name) {
  const size_t suffix = std::strlen(kTemporarySuffix);
  return Name.size() > suffix + 1 && Name[0] == '.' &&
         Name.compare(Name.size() - suffix, suffix, kTemporarySuffix) == 0;
}

int TOutputTarget::RemoveStaleTemporaryFiles(const std::string& Folder, std::vector<std::string>* Removed) {
  DIR* dir = opendir(Folder.c_str());
  if (!dir) return 0;
  int removed = 0;
  while (dirent* entry = readdir(dir)) {
    if (!IsTemporaryName(entry->d_name)) continue;
    const std::string path = (Folder == "/" ? "" : Folder) + "/" + entry->d_name;
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    // A lock that can be taken means that no process writes the file any more.
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 && SameFile(fd, path) &&
        unlink(path.c_str()) == 0) {
      ++removed;
      if (Removed) Removed->push_back(path);
    }
    close(fd);
  }
  closedir(dir);
  return removed;
}

bool TOutputTarget::CanCreate(const std::string& FileName, std::string& Error) {
  Error.clear();
  std::string path;
  struct stat st {};
  bool existing = false;
  switch (WriteWayOf(FileName, path, st, existing)) {
    case TWriteWay::Direct:
      return true;
    case TWriteWay::Refused:
      Error = "Could not open '" + FileName + "'";
      return false;
    case TWriteWay::Replace:
      break;
  }
  // The temporary file is made in the output's folder.
  const std::string folder = FolderOf(path);
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || access(folder.c_str(), W_OK | X_OK) != 0) {
    Error = "Could not open '" + FileName + "'";
    return false;
  }
  return true;
}

bool TOutputTarget::Open(const std::string& FileName, const AVIOInterruptCB* Interrupt, AVIOContext** Pb,
                         std::string& Error) {
  Discard(nullptr);
  FLeftBehind.clear();
  FLeftBehindSize = 0;
  FLeftBehindReason.clear();
  FFinalName = FileName;
  Error = "Could not open '" + FileName + "'";
  auto direct = [&] {
    if (ff::avio_open2(Pb, FileName.c_str(), AVIO_FLAG_WRITE, Interrupt, nullptr) < 0) return false;
    Error.clear();
    return true;
  };
  std::string path;
  struct stat st {};
  bool existing = false;
  switch (WriteWayOf(FileName, path, st, existing)) {
    case TWriteWay::Direct:
      return direct();
    case TWriteWay::Refused:
      return false;
    case TWriteWay::Replace:
      break;
  }
  if (existing) {
    FFinalExisted = true;
    FFinalMode = static_cast<int>(st.st_mode & 07777);
  }

  const std::string folder = FolderOf(path);
  RemoveStaleTemporaryFiles(folder);
  static std::atomic<unsigned> counter{0};
  const std::string stem = (folder == "/" ? "" : folder) + "/." + ShortName(NameOf(path), 100) + "." +
                           std::to_string(getpid()) + "-";
  for (int attempt = 0; attempt < 100 && FFd < 0; ++attempt) {
    const std::string name = stem + std::to_string(++counter) + kTemporarySuffix;
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    // Locked before anyone may take it for a leftover; a leftover cleaner that
    // was faster has removed it, so it is made again under another name. A
    // file system without locks leaves it unlocked (and its leftovers are
    // then never taken for stale either).
    const bool taken = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (taken || !SameFile(fd, name)) {
      close(fd);
      continue;
    }
    FFd = fd;
    FTempName = name;
    Register(name);
  }
  if (FFd < 0) return false;

  auto* buffer = static_cast<unsigned char*>(ff::av_malloc(kIOBufferSize));
  *Pb = buffer ? ff::avio_alloc_context(buffer, kIOBufferSize, 1, this, nullptr, &WritePacket, &Seek) : nullptr;
  if (!*Pb) {
    ff::av_free(buffer);
    Release(true);
    return false;
  }
  FFinalName = path;
  Error.clear();
  return true;
}

int TOutputTarget::WritePacket(void* Opaque, uint8_t* Buf, int Size) {
  const int fd = static_cast<TOutputTarget*>(Opaque)->FFd;
  int done = 0;
  while (done < Size) {
    const ssize_t n = write(fd, Buf + done, static_cast<size_t>(Size - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return AVERROR(errno);
    }
    done += static_cast<int>(n);
  }
  return done;
}

int64_t TOutputTarget::Seek(void* Opaque, int64_t Offset, int Whence) {
  const int fd = static_cast<TOutputTarget*>(Opaque)->FFd;
  if (Whence & AVSEEK_SIZE) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : AVERROR(errno);
  }
  const off_t r = lseek(fd, static_cast<off_t>(Offset), Whence & ~AVSEEK_FORCE);
  return r < 0 ? AVERROR(errno) : static_cast<int64_t>(r);
}

void TOutputTarget::CloseContext(AVIOContext** Pb) {
  if (!Pb || !*Pb) return;
  if (FFd >= 0) {
    ff::avio_flush(*Pb);
    ff::av_freep(&(*Pb)->buffer);
    ff::avio_context_free(Pb);
  } else {
    ff::avio_closep(Pb);
  }
}

void TOutputTarget::Release(bool Remove) {
  if (!FTempName.empty()) {
    if (Remove && unlink(FTempName.c_str()) != 0 && errno != ENOENT) {
      FLeftBehindReason = Reason(errno);
      FLeftBehind = FTempName;
      struct stat st {};
      FLeftBehindSize = FFd >= 0 && fstat(FFd, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
    }
    Unregister(FTempName);
  }
  if (FFd >= 0) close(FFd);
  FFd = -1;
  FTempName.clear();
  FFinalExisted = false;
  FFinalMode = 0;
  FKeepFileTime = false;
}

void TOutputTarget::Discard(AVIOContext** Pb) {
  CloseContext(Pb);
  Release(true);
}

void TOutputTarget::Commit(AVIOContext** Pb) {
  if (FFd < 0) return;  // written directly: nothing to move
  int error = 0;
  if (Pb && *Pb) {
    ff::avio_flush(*Pb);
    error = (*Pb)->error;
  }
  CloseContext(Pb);
  const std::string head = "Could not save '" + FFinalName + "': ";
  auto fail = [&](const std::string& Why) {
    Release(true);
    throw FFMpegException(head + Why);
  };
  if (error < 0) fail(Reason(AVUNERROR(error)));
  struct stat st {};
  if (fstat(FFd, &st) != 0) fail(Reason(errno));
  if (st.st_size == 0) {
    // An output that never got a byte is of no use: the final name stays.
    Release(true);
    return;
  }
  if (FFinalExisted) fchmod(FFd, static_cast<mode_t>(FFinalMode));
  if (FKeepFileTime) {
    const timespec times[2] = {{0, UTIME_OMIT}, FFileTime};
    if (futimens(FFd, times) != 0) fail(Reason(errno));
  }
  // On disk before it takes the final name, so a crash never leaves a
  // half-written file there.
  if (fsync(FFd) != 0) fail(Reason(errno));
  const char* from = FTempName.c_str();
  const char* to = FFinalName.c_str();
  const std::string appeared = "a file of that name appeared during the conversion";
  if (FFinalExisted) {
    if (rename(from, to) != 0) fail(Reason(errno));
  } else if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) != 0) {
    if (errno == EEXIST) fail(appeared);
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) fail(Reason(errno));
    // The file system cannot refuse to replace in one step: a hard link
    // refuses an existing name as well.
    if (link(from, to) == 0) {
      unlink(from);
    } else if (errno == EEXIST) {
      fail(appeared);
    } else {
      struct stat there {};
      if (lstat(to, &there) == 0) fail(appeared);
      if (rename(from, to) != 0) fail(Reason(errno));
    }
  }
  Unregister(FTempName);
  FTempName.clear();
  Release(false);
}

void RemoveTemporaryOutputs() {
  std::lock_guard<std::mutex> guard(RegistryLock());
  for (const std::string& name : Registry()) unlink(name.c_str());
  Registry().clear();
}

// ---------------------------------------------------------------------------
// Pipes and FIFOs

TPipeInput::~TPipeInput() {
  if (FFd >= 0) close(FFd);
}

bool TPipeInput::Needed(const std::string& FileName) {
  std::string path;
  struct stat st {};
  if (!LocalPath(FileName, path) || stat(path.c_str(), &st) != 0) return false;
  return S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode);
}

int TPipeInput::Open(const std::string& FileName, const std::atomic<bool>* Stop) {
  Close();
  std::string path;
  LocalPath(FileName, path);
  // Not blocking: opening a FIFO would otherwise wait for its writer.
  FFd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (FFd < 0) return AVERROR(errno);
  FStop = Stop;
  auto* buffer = static_cast<unsigned char*>(ff::av_malloc(kIOBufferSize));
  FContext = buffer ? ff::avio_alloc_context(buffer, kIOBufferSize, 0, this, &ReadPacket, nullptr, nullptr) : nullptr;
  if (!FContext) {
    ff::av_free(buffer);
    Close();
    return AVERROR(ENOMEM);
  }
  return 0;
}

void TPipeInput::Close() {
  if (FContext) {
    ff::av_freep(&FContext->buffer);
    ff::avio_context_free(&FContext);
  }
  if (FFd >= 0) close(FFd);
  FFd = -1;
}

int TPipeInput::ReadPacket(void* Opaque, uint8_t* Buf, int Size) {
  auto* self = static_cast<TPipeInput*>(Opaque);
  for (;;) {
    if (self->FStop && self->FStop->load()) return AVERROR_EXIT;
    pollfd p{self->FFd, POLLIN, 0};
    const int ready = poll(&p, 1, 100);
    if (ready < 0 && errno != EINTR) return AVERROR(errno);
    if (ready <= 0) continue;
    const ssize_t n = read(self->FFd, Buf, static_cast<size_t>(Size));
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return AVERROR_EOF;
    if (errno != EAGAIN && errno != EINTR) return AVERROR(errno);
  }
}
