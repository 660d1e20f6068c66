// The quality mode of the benchmark (vidlomat-bench --quality).
#pragma once

#include <string>
#include <vector>

struct TQualityOptions {
  double Seconds = 10.0;     // length of the clips (the static one is twice as long)
  std::string Dir;           // where the clips and outputs are kept
  int KeyFrameSeconds = 10;  // the per-file set-up's key-frame distance
  std::string ExtraOptions;  // more option lines for the output, to try encoder settings
  bool Compare = false;      // also convert as before: 12-frame group, the libraries' rate tolerance
  int Rounds = 1;            // conversions per variant (the processor time is their median)
  std::vector<std::string> Clips;  // the clips to convert by name; empty: all
};

// Converts the clips and prints one line per clip and variant. The libraries
// must be loaded. Returns the exit status.
int RunQualityBenchmark(const TQualityOptions& Options);

// The cost of tone-mapping HDR video (vidlomat-bench --hdr): a 1920x1080
// 10-bit HEVC clip of colour bars coded as HLG, and its twin coded as SDR
// BT.2020 (the same decoding, converted by the scaler alone), each converted
// Rounds times with the window's set-up; prints the median processor times
// and their ratio. The libraries must be loaded. Returns the exit status.
int RunHdrBenchmark(const TQualityOptions& Options);
