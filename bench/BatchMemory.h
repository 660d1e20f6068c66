// The batch memory benchmark: the peak memory of a batch of Files links to a
// tiny clip against a batch of one (each batch in a fresh process), and the
// child side that runs one batch.
#pragma once

#include <string>

// Makes the clip and the links under Dir/batch, runs both batches, prints the
// two peaks and their ratio. 0 on success.
int BatchBenchmark(int Files, const std::string& Dir, const std::string& LibAV);
// One batch in this process (Dir holds in/clipN.avi); prints "seconds S".
int BatchBenchmarkChild(int Files, const std::string& Dir, const std::string& LibAV);
