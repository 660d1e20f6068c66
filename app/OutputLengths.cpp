#include "OutputLengths.h"

#include "BatchSettings.h"

TOutputLengths::TOutputLengths() { FPool.setMaxThreadCount(1); }

TOutputLengths::~TOutputLengths() { Wait(); }

void TOutputLengths::Measure(const std::string& Path, std::function<void(int64_t Us)> Done) {
  FPool.start([Path, Done = std::move(Done)] { Done(MediaDurationUs(Path)); });
}

void TOutputLengths::Wait() { FPool.waitForDone(); }
