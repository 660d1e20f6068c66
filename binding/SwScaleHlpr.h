// Loader unit of libswscale.
#pragma once

#include <string>

#include "LibraryUnit.h"

extern TLibraryUnit SwScaleUnit;

bool LoadSwScale(std::string& ErrorText, const std::string& Folder, bool Versioned);
void UnloadSwScale();
bool SwScaleLoaded();
