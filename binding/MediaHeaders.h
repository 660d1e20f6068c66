// The media libraries' headers. Only declarations and inline helpers are used
// from them; every call goes through the ff:: pointers (nothing links the
// libraries, so a direct call fails at link time).
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/avstring.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/cpu.h>
#include <libavutil/dict.h>
#include <libavutil/downmix_info.h>
#include <libavutil/display.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/rational.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "FunctionLists.h"

// Declares one pointer per export, typed after the header's own declaration so a
// signature can never drift from the library's.
#define VIDLOMAT_DECLARE_POINTER(name) extern decltype(&::name) name;

namespace ff {
VIDLOMAT_AVUTIL_FUNCTIONS(VIDLOMAT_DECLARE_POINTER)
VIDLOMAT_SWRESAMPLE_FUNCTIONS(VIDLOMAT_DECLARE_POINTER)
VIDLOMAT_SWSCALE_FUNCTIONS(VIDLOMAT_DECLARE_POINTER)
VIDLOMAT_AVCODEC_FUNCTIONS(VIDLOMAT_DECLARE_POINTER)
VIDLOMAT_AVFORMAT_FUNCTIONS(VIDLOMAT_DECLARE_POINTER)
VIDLOMAT_AVFILTER_FUNCTIONS(VIDLOMAT_DECLARE_POINTER)
}  // namespace ff
