#include "AVCodecHlpr.h"

#include "UnitDefinition.h"

VIDLOMAT_DEFINE_UNIT(AVCodecUnit, VIDLOMAT_AVCODEC_FUNCTIONS, "avcodec", LIBAVCODEC_VERSION_MAJOR, avcodec_version)

bool LoadAVCodec(std::string& ErrorText, const std::string& Folder, bool Versioned, bool RegisterAll) {
  // Today's libraries register their codecs, formats and filters themselves.
  (void)RegisterAll;
  return AVCodecUnit.Load(ErrorText, Folder, Versioned);
}

void UnloadAVCodec() { AVCodecUnit.Unload(); }

bool AVCodecLoaded() { return AVCodecUnit.Resolved; }
