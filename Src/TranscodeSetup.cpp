// Transcode set-up.
#include "FFmpeg.h"

void TCustomFFmpeg::Transcode() {
  // The transcoder is not part of this build yet: a run fails cleanly.
  throw FFMpegException("Transcoding is not available in this build");
}
