// Loader unit of libavfilter.
#pragma once

#include <string>

#include "LibraryUnit.h"

extern TLibraryUnit AVFilterUnit;

bool LoadAVFilter(std::string& ErrorText, const std::string& Folder, bool Versioned, bool RegisterAll);
void UnloadAVFilter();
bool AVFilterLoaded();
