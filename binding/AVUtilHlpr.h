// Loader unit of libavutil.
#pragma once

#include <string>

#include "LibraryUnit.h"

extern TLibraryUnit AVUtilUnit;

bool LoadAVUtil(std::string& ErrorText, const std::string& Folder, bool Versioned);
void UnloadAVUtil();
bool AVUtilLoaded();
