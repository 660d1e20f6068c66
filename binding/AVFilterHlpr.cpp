#include "AVFilterHlpr.h"

#include "UnitDefinition.h"

VIDLOMAT_DEFINE_UNIT(AVFilterUnit, VIDLOMAT_AVFILTER_FUNCTIONS, "avfilter", LIBAVFILTER_VERSION_MAJOR, avfilter_version)

bool LoadAVFilter(std::string& ErrorText, const std::string& Folder, bool Versioned, bool RegisterAll) {
  // Today's libraries register their codecs, formats and filters themselves.
  (void)RegisterAll;
  return AVFilterUnit.Load(ErrorText, Folder, Versioned);
}

void UnloadAVFilter() { AVFilterUnit.Unload(); }

bool AVFilterLoaded() { return AVFilterUnit.Resolved; }
