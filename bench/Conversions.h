// The two conversions the benchmark compares. Both turn In into an .mp4 at
// Out with the window's default settings: MPEG-4 video at 512 kbit/s, 320x240,
// 30 fps; AAC-LC stereo at 80 kbit/s, 44100 Hz.
//
// The libraries must be loaded before either is called. Each returns false
// with the reason in Error when the conversion fails.
#pragma once

#include <string>

// Through the transcoding engine, driven as the window drives it for one file.
bool ConvertThroughEngine(const std::string& In, const std::string& Out, std::string& Error);

// Through a minimal direct use of the same library calls: demux, decode,
// scale, resample, encode and mux, with the same codecs and settings.
bool ConvertDirect(const std::string& In, const std::string& Out, std::string& Error);
