// Helpers shared by the engine's option tests.
#pragma once

#include <string>

#include "FFmpeg.h"

// The message of the FFMpegException that Fn raises ("" when it raises none).
template <class F>
std::string FailureOf(F&& Fn) {
  try {
    Fn();
  } catch (const FFMpegException& e) {
    return e.what();
  }
  return "";
}
