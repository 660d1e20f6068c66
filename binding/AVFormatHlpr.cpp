#include "AVFormatHlpr.h"

#include "UnitDefinition.h"

VIDLOMAT_DEFINE_UNIT(AVFormatUnit, VIDLOMAT_AVFORMAT_FUNCTIONS, "avformat", LIBAVFORMAT_VERSION_MAJOR, avformat_version)

bool LoadAVFormat(std::string& ErrorText, const std::string& Folder, bool Versioned, bool RegisterAll) {
  // Today's libraries register their codecs, formats and filters themselves.
  (void)RegisterAll;
  return AVFormatUnit.Load(ErrorText, Folder, Versioned);
}

void UnloadAVFormat() { AVFormatUnit.Unload(); }

bool AVFormatLoaded() { return AVFormatUnit.Resolved; }
