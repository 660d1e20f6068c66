// The size estimate against real outputs (vidlomat-bench --estimate).
#pragma once

#include <string>

// Makes clips of several kinds in Dir (those already there are reused),
// converts each whole at the lowest, the default and the highest profile, and
// prints the bitrate bound and the measured estimate as ratios of the real
// size, the samples' spending as a share of the bitrate, and the measuring's
// time. The libraries must be loaded. Returns the
// exit status.
int RunEstimateBenchmark(const std::string& Dir);
