// Loader unit of libswresample.
#pragma once

#include <string>

#include "LibraryUnit.h"

extern TLibraryUnit SwResampleUnit;

bool LoadSwResample(std::string& ErrorText, const std::string& Folder, bool Versioned);
void UnloadSwResample();
bool SwResampleLoaded();
