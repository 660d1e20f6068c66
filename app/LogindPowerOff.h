// The real power-off: systemd-logind over the system D-Bus. Part of the
// program `vidlomat` only (app/main.cpp); no library or test links it.
#pragma once

#include "PowerOff.h"

class TLogindPowerOff : public IPowerOff {
public:
  // CanPowerOff; when the answer is "yes", PowerOff(false) without waiting for
  // it. Any failure is written to standard error and otherwise ignored.
  void PowerOffNow() override;
};
