// Loader unit of libavcodec.
#pragma once

#include <string>

#include "LibraryUnit.h"

extern TLibraryUnit AVCodecUnit;

bool LoadAVCodec(std::string& ErrorText, const std::string& Folder, bool Versioned, bool RegisterAll);
void UnloadAVCodec();
bool AVCodecLoaded();
