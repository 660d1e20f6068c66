// Turning the computer off when a batch ends with "Shut down computer when
// completed" checked. The window only holds this interface; the program's
// entry point hands it the real one (LogindPowerOff.h), which is compiled into
// the program alone, so no test can ever reach it.
#pragma once

class IPowerOff {
public:
  virtual ~IPowerOff() = default;
  // Asks the system to power off now and returns without waiting. Failures are
  // silent for the user.
  virtual void PowerOffNow() = 0;
};
