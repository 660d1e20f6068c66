// Loader unit of libavformat.
#pragma once

#include <string>

#include "LibraryUnit.h"

extern TLibraryUnit AVFormatUnit;

bool LoadAVFormat(std::string& ErrorText, const std::string& Folder, bool Versioned, bool RegisterAll);
void UnloadAVFormat();
bool AVFormatLoaded();
