// Reads the length of converted outputs on a thread of its own, so that a
// slow or sleeping disk never holds the window when a file is done: each
// answer goes to its Done on that thread (the window posts it to its own).
// Measure and Wait from one thread (the user-interface thread); Wait, and the
// end of the object, wait for the readings asked for so far: no reading uses
// the media libraries after them.
#pragma once

#include <QThreadPool>
#include <cstdint>
#include <functional>
#include <string>

class TOutputLengths {
public:
  TOutputLengths();
  ~TOutputLengths();
  TOutputLengths(const TOutputLengths&) = delete;
  TOutputLengths& operator=(const TOutputLengths&) = delete;
  // Reads Path's length in microseconds (0 or less: it could not be read)
  // and calls Done with it, on the reading thread.
  void Measure(const std::string& Path, std::function<void(int64_t Us)> Done);
  void Wait();

private:
  QThreadPool FPool;  // one thread: the files are read one after another
};
