#include "SwResampleHlpr.h"

#include "UnitDefinition.h"

VIDLOMAT_DEFINE_UNIT(SwResampleUnit, VIDLOMAT_SWRESAMPLE_FUNCTIONS, "swresample", LIBSWRESAMPLE_VERSION_MAJOR, swresample_version)

bool LoadSwResample(std::string& ErrorText, const std::string& Folder, bool Versioned) {
  return SwResampleUnit.Load(ErrorText, Folder, Versioned);
}

void UnloadSwResample() { SwResampleUnit.Unload(); }

bool SwResampleLoaded() { return SwResampleUnit.Resolved; }
