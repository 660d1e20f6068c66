#include "LibraryUnit.h"

#include <dlfcn.h>

#include <cstdio>

void* LoadLibraryFromFolder(const std::string& Folder, const std::string& FileName) {
  const std::string path = Folder.empty() ? FileName : Folder + "/" + FileName;
  return dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
}

std::string LastLoaderError() {
  const char* text = dlerror();
  return text ? std::string(text) : std::string("unknown error");
}

std::string TLibraryUnit::LibraryFileName() const {
  std::string name = std::string("lib") + BaseName + ".so";
  if (Versioned) name += "." + std::to_string(BuiltMajor);
  return name;
}

bool TLibraryUnit::LoadLibraryHandle(const std::string& Folder) {
  if (Handle) return true;
  dlerror();  // forget any older error
  LoadedPath = Folder.empty() ? LibraryFileName() : Folder + "/" + LibraryFileName();
  Handle = LoadLibraryFromFolder(Folder, LibraryFileName());
  if (!Handle) {
    char buf[1024];
    std::snprintf(buf, sizeof buf, "Load libraray %s error: %s", LibraryFileName().c_str(),
                  LastLoaderError().c_str());
    LastError = buf;
    return false;
  }
  return true;
}

void* TLibraryUnit::Lookup(const char* Name) {
  dlerror();
  return dlsym(Handle, Name);
}

void TLibraryUnit::ThrowMissing(const char* Name) {
  char buf[1024];
  std::snprintf(buf, sizeof buf, "Load function %s@%s error: %s", Name, LibraryFileName().c_str(),
                LastLoaderError().c_str());
  throw ELoadFunctionError(buf);
}

bool TLibraryUnit::Load(std::string& ErrorText, const std::string& Folder, bool AVersioned) {
  Versioned = AVersioned;
  bool result = LoadLibraryHandle(Folder);
  if (result && !Resolved) {
    try {
      BindAll(*this);
      // A library of another major version has other structure layouts than the
      // headers this program was compiled with: refuse it instead of crashing later.
      const int runtimeMajor = static_cast<int>(RuntimeVersion() >> 16);
      if (runtimeMajor != BuiltMajor) {
        char buf[512];
        std::snprintf(buf, sizeof buf,
                      "Library %s has major version %d, but this program was built for version %d",
                      LibraryFileName().c_str(), runtimeMajor, BuiltMajor);
        LastError = buf;
        result = false;
      } else {
        Resolved = true;
        KeepMapped();
      }
    } catch (const ELoadFunctionError& e) {
      LastError = e.what();
      result = false;
    }
  }
  if (!result) ErrorText = LastError;
  return result;
}

void TLibraryUnit::KeepMapped() {
  // A library that bound completely stays mapped after it is unloaded: the
  // libraries allocate at start-up and keep that memory for good (an unmap
  // would lose it at every unload), and a late call from another thread must
  // never jump into unmapped code. Reopening the loaded file with
  // RTLD_NOLOAD | RTLD_NODELETE marks it so without loading anything.
  void* again = dlopen(LoadedPath.c_str(), RTLD_NOW | RTLD_GLOBAL | RTLD_NOLOAD | RTLD_NODELETE);
  if (again) dlclose(again);
}

void TLibraryUnit::Unload() {
  if (Handle) {
    ClearAll();
    dlclose(Handle);
    Handle = nullptr;
    Resolved = false;
  }
}
