// Run-time binding of one shared library: its handle, the resolved flag, the
// file-name choice and the last error, plus the folder loader they share.
#pragma once

#include <stdexcept>
#include <string>

// Raised by BindFunction when an export is missing; caught by the unit's loader.
class ELoadFunctionError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Opens FileName from Folder by full path (RTLD_NOW | RTLD_GLOBAL); with an
// empty Folder the system search is used. Returns the handle or nullptr (the
// reason is then in dlerror()).
void* LoadLibraryFromFolder(const std::string& Folder, const std::string& FileName);

// The last dynamic-loader error text, or a fallback when there is none.
std::string LastLoaderError();

// One library unit. The function table itself lives in namespace ff; the unit
// knows how to fill and clear it through the two callbacks.
//
// Threads: written only by the thread that loads and unloads the libraries,
// before any conversion thread starts and after the last one ended.
struct TLibraryUnit {
  const char* BaseName;          // "avcodec": file names are lib<BaseName>.so[.<major>]
  int BuiltMajor;                // major version of the headers the program was built with
  void (*BindAll)(TLibraryUnit&);  // binds every name of the list, in order
  void (*ClearAll)();              // sets every pointer of the list back to null
  unsigned (*RuntimeVersion)();    // the library's <name>_version(), valid once bound

  void* Handle = nullptr;
  bool Resolved = false;
  bool Versioned = true;
  std::string LastError;
  std::string LoadedPath;  // the path handed to dlopen

  std::string LibraryFileName() const;
  bool LoadLibraryHandle(const std::string& Folder);
  void* Lookup(const char* Name);

  // Looks Name up and stores the result (also a null one); a missing export
  // raises ELoadFunctionError with the "Load function" message.
  template <class F>
  void BindFunction(const char* Name, F& Pointer) {
    if (!Handle) return;
    Pointer = reinterpret_cast<F>(Lookup(Name));
    if (!Pointer) ThrowMissing(Name);
  }

  // The per-library loader: handle, every name, then the major-version check.
  bool Load(std::string& ErrorText, const std::string& Folder, bool AVersioned);
  void Unload();

private:
  void KeepMapped();
  [[noreturn]] void ThrowMissing(const char* Name);
};
