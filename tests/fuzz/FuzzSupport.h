// Shared by the fuzz targets: the libraries loaded once, a scratch folder.
#pragma once

#include <string>

// Loads the media libraries from the build's LibAV/ folder (once) and quiets
// their log. Aborts when they cannot be loaded.
void FuzzLoadLibraries();

// A folder of this process for output files (in memory where the system has
// such a folder), made once.
const std::string& FuzzScratchFolder();
