#include "AVUtilHlpr.h"

#include "UnitDefinition.h"

VIDLOMAT_DEFINE_UNIT(AVUtilUnit, VIDLOMAT_AVUTIL_FUNCTIONS, "avutil", LIBAVUTIL_VERSION_MAJOR, avutil_version)

bool LoadAVUtil(std::string& ErrorText, const std::string& Folder, bool Versioned) {
  return AVUtilUnit.Load(ErrorText, Folder, Versioned);
}

void UnloadAVUtil() { AVUtilUnit.Unload(); }

bool AVUtilLoaded() { return AVUtilUnit.Resolved; }
