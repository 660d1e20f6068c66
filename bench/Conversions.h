// The conversions the benchmark times. Each turns its input into an .mp4 with
// the window's default settings: MPEG-4 video at 512 kbit/s, 320x240, 30 fps;
// AAC-LC stereo at 80 kbit/s, 44100 Hz.
//
// The libraries must be loaded before any is called. Each returns false with
// the reason in Error when the conversion fails. DecoderThreads is the thread
// count of every decoder: 0 lets the libraries use every core, 1 decodes on
// the conversion's own thread.
#pragma once

#include <string>
#include <vector>

// Through the transcoding engine, driven as the window drives it for one file.
// EncoderThread: encoding and writing on a thread of their own (the engine's
// default) or on the run's thread. SetupKb (when given) receives the peak
// resident memory once the files and codecs are open, before the run.
bool ConvertThroughEngine(const std::string& In, const std::string& Out, int DecoderThreads, bool EncoderThread,
                          std::string& Error, long* SetupKb = nullptr);

// The peak resident set size of this process so far, in kB (0 when unknown).
long PeakResidentKb();

// Through a minimal direct use of the same library calls: demux, decode,
// scale, resample, encode and mux, with the same codecs and settings.
// With an empty Out it only decodes the video stream, writing nothing.
bool ConvertDirect(const std::string& In, const std::string& Out, int DecoderThreads, std::string& Error);

// A batch through the converter component with the window's per-file set-up:
// every input into OutFolder, Jobs files at the same time; LowPriority: its
// threads at low priority (nice 10, batch scheduling), as the window's
// "Convert at low priority" runs them; EvenVolume: "Even out the volume".
bool ConvertBatch(const std::vector<std::string>& Inputs, const std::string& OutFolder, int Jobs,
                  std::string& Error, bool LowPriority = false, bool EvenVolume = true);
