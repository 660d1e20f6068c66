// Shared by the fuzz targets: the libraries loaded once, a scratch folder.
#pragma once

#include <string>

// Loads the media libraries from the build's LibAV/ folder (once) and quiets
// their log. Aborts when they cannot be loaded.
void FuzzLoadLibraries();

// The folder for output files: $VIDLOMAT_FUZZ_SCRATCH, else one of this
// process (in memory where the system has such a folder), made once.
const std::string& FuzzScratchFolder();
