#include "SwScaleHlpr.h"

#include "UnitDefinition.h"

VIDLOMAT_DEFINE_UNIT(SwScaleUnit, VIDLOMAT_SWSCALE_FUNCTIONS, "swscale", LIBSWSCALE_VERSION_MAJOR, swscale_version)

bool LoadSwScale(std::string& ErrorText, const std::string& Folder, bool Versioned) {
  return SwScaleUnit.Load(ErrorText, Folder, Versioned);
}

void UnloadSwScale() { SwScaleUnit.Unload(); }

bool SwScaleLoaded() { return SwScaleUnit.Resolved; }
